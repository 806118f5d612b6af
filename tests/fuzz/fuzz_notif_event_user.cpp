// Routing an event by its user: the copied name fits the area, is a text of
// the input, and an event built for that user routes to it again.
#include <algorithm>
#include <memory>

#include "check.hpp"
#include "notifier/notif_msg.hpp"

FUZZ_TARGET(in, any_input)
{
    char user[NOTIF_USER_MAX];
    if (notif_msg_parse_event_user(in.begin(), in.size(), user) != 0)
        return;
    const size_t length = strnlen(user, sizeof user);
    FUZZ_CHECK(length < sizeof user);
    const auto *text = reinterpret_cast<const uint8_t *>(user);
    const uint8_t *start = in.begin(), *end = start + in.size();
    FUZZ_CHECK(std::search(start, end, text, text + length + 1) != end);
    fuzz_input built = rebuilt(notif_msg_close_event(notif_msg_open_event("m", nullptr, nullptr, user)));
    char again[NOTIF_USER_MAX];
    const int result = notif_msg_parse_event_user(built.begin(), built.size(), again);
    // An empty user is left out of the event, which then has none.
    FUZZ_CHECK(length == 0 ? result == -1 : result == 0 && std::strcmp(user, again) == 0);
}
