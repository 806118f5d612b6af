// Hand-made TLV bytes for message tests, independent of the builders under
// test, and ownership of the malloc'd messages the builders return.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "util/owned.hpp"
#include "util/tlv_ez.hpp"

using bytes = std::vector<uint8_t>;

// An element: the code padded to 4 bytes, the length big-endian, the payload.
inline bytes tlv(const char *code, const bytes &payload = {})
{
    bytes out(8);
    std::memcpy(out.data(), code, std::min<size_t>(std::strlen(code), 4));
    const auto n = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i)
        out[4 + i] = static_cast<uint8_t>(n >> (24 - 8 * i));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

inline bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const auto &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A text with its zero byte.
inline bytes text(const std::string &s)
{
    bytes out(s.begin(), s.end());
    out.push_back(0);
    return out;
}

// A text field of exactly `size` bytes, the last one zero.
inline bytes text_of_size(size_t size)
{
    return text(std::string(size - 1, 'a'));
}

using message_ptr = malloc_ptr<uint8_t>;

// The bytes of a finished message (empty for null).
inline bytes wire(const message_ptr &message)
{
    if (!message)
        return {};
    return bytes(message.get(), message.get() + tlv_get_size(message.get()));
}

// The bytes of a built message, which is freed (empty for null).
inline bytes take(uint8_t *message)
{
    return wire(message_ptr(message));
}
