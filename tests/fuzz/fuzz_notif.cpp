// The notification family: routing an event by its user, a whole event as a
// peer reads it (the fields, then pairs until no bytes remain), and the pairs
// read directly; the common checks, and an event built from what was read
// reads back the same.
#include <algorithm>

#include "notif_check.hpp"

namespace {

constexpr auto notif = element_family::notif;

// The copied name fits the area, is a text of the input, and an event built
// for that user routes to it again.
void event_user(fuzz_input &in)
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

void event(fuzz_input &in)
{
    event_fields fields;
    const int result =
        notif_msg_parse_event(&in.cursor, &in.avail, &fields.modl, &fields.id, &fields.time, &fields.user);
    in.check_position();
    pairs read;
    if (result != 0 || !read_pairs(in, read))
        return;
    in.check_elements(notif, fields.modl, fields.id, fields.time, fields.user);
    for (const char *text : {fields.modl, fields.id, fields.time, fields.user})
        if (!terminated(text))
            return;
    if (all_terminated(read))
        check_event_round_trip(fields, read);
}

void get_info(fuzz_input &in)
{
    pairs read;
    if (!read_pairs(in, read) || read.empty() || !all_terminated(read))
        return;
    char module[] = "m";
    event_fields fields;
    fields.modl = module;
    check_event_round_trip(fields, read);
}

} // namespace

FUZZ_TARGET(in, any_input)
{
    event_user(in);
    // The stream parsers need a byte to start from.
    if (in.size() == 0)
        return;
    for (auto parse : {event, get_info}) {
        in.rewind();
        parse(in);
    }
}
