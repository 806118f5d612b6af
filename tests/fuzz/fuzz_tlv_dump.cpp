// The dump of any bytes: it never fails, and every row it prints has the
// fixed width of its depth (16 text columns, 2 spaces, 16 hex columns).
#include <string>

#include "check.hpp"
#include "tests/unit/support/printed.hpp"

namespace {

// A container in any family of the element catalogue.
int any_message_container(uint32_t type)
{
    return element_nests<element_family::ipconf>(type) || element_nests<element_family::auth>(type) ||
           element_nests<element_family::notif>(type);
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
