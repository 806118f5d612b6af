// Routing an event by its user: the copied name fits the area, is a text of
// the input, and an event built for that user routes to it again.
#include <algorithm>
#include <memory>

#include "check.hpp"
#include "notifier/notif_msg.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in(data, size);
    char user[NOTIF_USER_MAX];
    if (notif_msg_parse_event_user(in.begin(), in.size(), user) != 0)
        return 0;
    const size_t length = strnlen(user, sizeof user);
    FUZZ_CHECK(length < sizeof user);
    const auto *text = reinterpret_cast<const uint8_t *>(user);
    FUZZ_CHECK(std::search(data, data + size, text, text + length + 1) != data + size);
    fuzz_input built = rebuilt(notif_msg_close_event(notif_msg_open_event("m", nullptr, nullptr, user)));
    char again[NOTIF_USER_MAX];
    const int result = notif_msg_parse_event_user(built.begin(), built.size(), again);
    // An empty user is left out of the event, which then has none.
    FUZZ_CHECK(length == 0 ? result == -1 : result == 0 && std::strcmp(user, again) == 0);
    return 0;
}
