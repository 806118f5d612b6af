// LOOK is accepted exactly when the data starts with a LOOK header whose
// payload lies within the data.
#include "check.hpp"
#include "ipconf/ipconf_msg.hpp"

FUZZ_TARGET(in, any_input)
{
    const size_t size = in.size();
    const bool look = size >= TLV_HEADER_SIZE && tlv_get_envelope_type(in.begin()) == IPCONF_LOOK
                      && tlv_get_size(in.begin()) - TLV_HEADER_SIZE <= size - TLV_HEADER_SIZE;
    const int result = ipconf_msg_parse_look(in.begin(), in.size());
    FUZZ_CHECK(result == (look ? 0 : -1));
}
