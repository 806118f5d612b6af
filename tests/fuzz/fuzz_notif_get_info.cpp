// The pairs of an event read directly: each call consumes bytes and hands out
// pointers inside the input; the pairs built again read back the same.
#include "notif_check.hpp"

FUZZ_TARGET(in, nonempty_input)
{
    pairs read;
    if (!read_pairs(in, read) || read.empty() || !all_terminated(read))
        return;
    char module[] = "m";
    event_fields fields;
    fields.modl = module;
    check_event_round_trip(fields, read);
}
