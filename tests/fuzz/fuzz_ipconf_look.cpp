// LOOK is accepted exactly when the data starts with a LOOK header whose
// payload lies within the data.
#include "check.hpp"
#include "ipconf/ipconf_msg.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in(data, size);
    const int result = ipconf_msg_parse_look(in.begin(), in.size());
    const bool look = size >= TLV_HEADER_SIZE && tlv_get_envelope_type(data) == IPCONF_LOOK
                      && tlv_get_size(data) - TLV_HEADER_SIZE <= size - TLV_HEADER_SIZE;
    FUZZ_CHECK(result == (look ? 0 : -1));
    return 0;
}
