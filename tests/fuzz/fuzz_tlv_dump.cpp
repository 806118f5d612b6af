// The dump of any bytes: it never fails, and every row it prints has the
// fixed width of its depth (16 text columns, 2 spaces, 16 hex columns).
#include <string>

#include "check.hpp"
#include "tests/unit/support/printed.hpp"

namespace {

int any_message_container(uint32_t type)
{
    for (const char *code : {"INFO", "CONF", "INTF", "IPV4", "OK", "ERR", "CHRQ", "CHAL", "LOGN", "EVNT"})
        if (type == tlv_stringtype(code))
            return 1;
    return 0;
}

} // namespace

FUZZ_TARGET(in, any_input)
{
    const tlv_container_fn containers = in.size() % 2 == 0 ? any_message_container : nullptr;
    const std::string dump = printed([&](FILE *stream) { tlv_dump(stream, in.begin(), in.size(), containers); });
    size_t start = 0;
    while (start < dump.size()) {
        const size_t end = dump.find('\n', start);
        FUZZ_CHECK(end != std::string::npos);
        const size_t width = end - start;
        FUZZ_CHECK(width >= 66 && (width - 66) % 4 == 0);
        start = end + 1;
    }
}
