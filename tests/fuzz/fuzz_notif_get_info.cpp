// The pairs of an event read directly: each call consumes bytes and hands out
// pointers inside the input; the pairs built again read back the same.
#include "notif_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in(data, size);
    if (in.size() == 0)
        return 0;
    pairs read;
    if (!read_pairs(in, read) || read.empty() || !all_terminated(read))
        return 0;
    char module[] = "m";
    event_fields fields;
    fields.modl = module;
    check_event_round_trip(fields, read);
    return 0;
}
