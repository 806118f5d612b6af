// Walks arbitrary bytes as TLV messages, descending into every element whose
// type has an odd first character, and dumps them: every read must stay
// within the given bytes and every reader must be released.
#include "util/tlv_ez.hpp"

#include <cstdint>
#include <cstdio>

namespace {

int odd_types_nest(uint32_t type)
{
    return (type >> 24) & 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *sink = std::fopen("/dev/null", "w");
    if (sink)
        tlv_dump(sink, data, size, odd_types_nest);
    return 0;
}
