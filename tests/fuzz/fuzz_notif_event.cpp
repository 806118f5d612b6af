// A whole event as a peer reads it: the fields, then pairs until no bytes
// remain. An event built from what was read reads back the same.
#include "notif_check.hpp"

FUZZ_TARGET(in, nonempty_input)
{
    event_fields fields;
    const int result = notif_msg_parse_event(&in.cursor, &in.avail, &fields.modl, &fields.id, &fields.time, &fields.user);
    in.check_position();
    pairs read;
    if (result != 0 || !read_pairs(in, read))
        return;
    for (const char *text : {fields.modl, fields.id, fields.time})
        if (text != nullptr)
            in.check_field(text);
    FUZZ_CHECK(fields.user == nullptr || in.check_field(fields.user) <= NOTIF_USER_MAX);
    for (const char *text : {fields.modl, fields.id, fields.time, fields.user})
        if (!terminated(text))
            return;
    if (all_terminated(read))
        check_event_round_trip(fields, read);
}
