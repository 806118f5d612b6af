// Hand-made TLV bytes for message tests, independent of the builders under
// test, and the bytes of the malloc'd messages the builders return.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ipconf/elements.hpp"
#include "util/owned.hpp"

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

// Whether the catalogue's size rule of each element that `family` checks
// holds where its parsers meet the field: a field of the rule's size passes
// every place, one byte more (or, for an exact size, one less) fails at one.
// place(field) parses a message holding the field and returns 0 or not.
template <typename Place>
void expect_catalogue_sizes(element_family family, std::initializer_list<Place> places)
{
    for (const element_rule &rule : element_catalogue) {
        const element_kind kind = rule.kind(family);
        const uint32_t limit = rule.exact != 0 ? rule.exact : rule.max;
        if (limit == 0 || (kind != element_kind::text && kind != element_kind::raw))
            continue;
        const std::string name(rule.name);
        const auto refused = [&](uint32_t size) {
            const bytes field = tlv(name.c_str(), kind == element_kind::text ? text_of_size(size) : bytes(size));
            return std::any_of(places.begin(), places.end(), [&](const Place &place) { return place(field) != 0; });
        };
        EXPECT_FALSE(refused(limit)) << name;
        EXPECT_TRUE(refused(limit + 1)) << name;
        EXPECT_TRUE(rule.exact == 0 || refused(limit - 1)) << name;
    }
}

// A stream parser over the whole of `data`, parse(&cursor, &avail, out...);
// what it hands out points into `data`.
template <typename Data, typename Parse, typename... Out>
int parse_all(Data &&data, Parse parse, Out... out)
{
    uint8_t *cursor = data.data();
    size_t avail = data.size();
    return parse(&cursor, &avail, out...);
}

using message_ptr = malloc_ptr<uint8_t>;

// The bytes of a finished message (empty for null).
inline bytes wire(const message_ptr &message)
{
    return message ? bytes(message.get(), message.get() + tlv_get_size(message.get())) : bytes();
}

// The bytes of a built message, which is freed (empty for null).
inline bytes take(uint8_t *message)
{
    return wire(message_ptr(message));
}
