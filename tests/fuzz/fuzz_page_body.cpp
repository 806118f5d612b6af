// The commissioning page's request bodies, which anything on the laptop's
// loopback may post: every input is read or refused with a reason, without
// reading past it, within the nesting limit, and the password member never
// enters the value that the rest of the server sees.
#include "tests/fuzz/check.hpp"
#include "tools/orvanectl/json_reader.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int max_depth = 4;

int depth_of(const ctl::json &value)
{
    int deepest = 0;
    if (value.is_array() || value.is_object())
        for (const auto &inner : value)
            deepest = std::max(deepest, depth_of(inner));
    return value.is_array() || value.is_object() ? deepest + 1 : 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact copy, so that ASan sees any read past the body's end.
    const std::vector<char> body(data, data + size);
    ctl::json value;
    std::string secret, why;
    if (!ctl::read_json(std::string_view(body.data(), body.size()), "password", value, secret, why, max_depth)) {
        FUZZ_CHECK(!why.empty());
        return 0;
    }
    FUZZ_CHECK(depth_of(value) <= max_depth);
    FUZZ_CHECK(!(value.is_object() && value.contains("password")));
    // Whatever bytes the texts hold, the server can write the value back.
    (void)value.dump(-1, ' ', false, ctl::json::error_handler_t::replace);
    return 0;
}
