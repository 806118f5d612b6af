// What the message fuzzers check beyond "no crash", the same for every family:
// every field a parser hands out lies inside the input and keeps its element
// catalogue rule, the position it leaves is consistent, and what the builders
// make of parsed values parses back to the same values.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ipconf/elements.hpp"
#include "tests/unit/support/printed.hpp"
#include "util/owned.hpp"

// Payload length of the field whose value starts at the address.
inline uint32_t field_length(const void *value)
{
    return tlv_get_size(static_cast<const uint8_t *>(value) - TLV_HEADER_SIZE) - TLV_HEADER_SIZE;
}

#define FUZZ_CHECK(condition)                                                                                          \
    ((condition)                                                                                                       \
         ? void()                                                                                                      \
         : (std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__), std::abort()))

// A writable copy of the input of exactly its size, so that ASan sees any
// read past its end. The parsers take non-const buffers; those that advance
// the caller's position get cursor and avail, which start at the beginning.
class fuzz_input {
public:
    fuzz_input(const uint8_t *data, size_t size) : bytes_(data, data + size) { rewind(); }
    fuzz_input(const fuzz_input &) = delete;
    [[nodiscard]] uint8_t *begin() { return bytes_.data(); }
    [[nodiscard]] size_t size() const { return bytes_.size(); }
    void rewind() { cursor = bytes_.data(), avail = bytes_.size(); }

    // A field value handed out by a parser: its header precedes it and its
    // whole payload lies inside the input. Returns the payload length.
    uint32_t check_field(const void *value) const
    {
        const ptrdiff_t offset = static_cast<const uint8_t *>(value) - bytes_.data();
        FUZZ_CHECK(offset >= static_cast<ptrdiff_t>(TLV_HEADER_SIZE) && offset <= static_cast<ptrdiff_t>(size()));
        const uint32_t length = field_length(value);
        FUZZ_CHECK(length <= size() - static_cast<size_t>(offset));
        return length;
    }

    // A field that a parser of the family hands out: inside the input, of a
    // type the family knows, within the catalogue's size rule; a text of the
    // ipconf family, which checks its texts, ends with its zero byte. Null
    // passes.
    void check_element(const void *value, element_family family) const
    {
        if (value == nullptr)
            return;
        const uint32_t length = check_field(value);
        const uint32_t type = tlv_get_envelope_type(static_cast<const uint8_t *>(value) - TLV_HEADER_SIZE);
        const element_kind kind = element_kind_of(family, type);
        FUZZ_CHECK(kind != element_kind::none && element_fits(type, length));
        if (family == element_family::ipconf && kind == element_kind::text)
            FUZZ_CHECK(length >= 1 && static_cast<const char *>(value)[length - 1] == '\0');
    }
    template <typename... Values>
    void check_elements(element_family family, const Values *...values) const
    {
        (check_element(values, family), ...);
    }

    // A parser that advances the position keeps cursor and count in step,
    // except that a read that runs out of data leaves the count at 0.
    void check_position() const
    {
        FUZZ_CHECK(cursor >= bytes_.data() && cursor <= bytes_.data() + bytes_.size());
        FUZZ_CHECK(avail == 0 || static_cast<size_t>(cursor - bytes_.data()) + avail == bytes_.size());
    }

    // A stream parser run from the start, parse(&cursor, &avail, out...),
    // with the position checked after it.
    template <typename Parse, typename... Out>
    int parse(Parse parser, Out... out)
    {
        rewind();
        const int result = parser(&cursor, &avail, out...);
        check_position();
        return result;
    }

    uint8_t *cursor = nullptr;
    size_t avail = 0;

private:
    std::vector<uint8_t> bytes_;
};

// The dump of any bytes never fails, and every row it prints has the fixed
// width of its depth (16 text columns, 2 spaces, 16 hex columns). The size
// picks what nests: the catalogue's containers, every type whose first
// character is odd (arbitrary depth), or nothing.
inline void check_dump(fuzz_input &in)
{
    static constexpr tlv_container_fn nests[] = {[](uint32_t type) {
                                                     return element_nests<element_family::ipconf>(type) |
                                                            element_nests<element_family::auth>(type) |
                                                            element_nests<element_family::notif>(type);
                                                 },
                                                 [](uint32_t type) { return static_cast<int>(type >> 24 & 1); },
                                                 nullptr};
    const std::string dump =
        printed([&](FILE *stream) { tlv_dump(stream, in.begin(), in.size(), nests[in.size() % 3]); });
    for (size_t start = 0, end = 0; start < dump.size(); start = end + 1) {
        end = dump.find('\n', start);
        FUZZ_CHECK(end != std::string::npos && end - start >= 66 && (end - start - 66) % 4 == 0);
    }
}

// The fuzz entry point: every input is dumped, then given to the body, which
// sees it as `in`:  FUZZ_TARGET(in) { ... }
#define FUZZ_TARGET(in)                                                                                                \
    static void fuzz_body(fuzz_input &in);                                                                             \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)                                            \
    {                                                                                                                  \
        fuzz_input input(data, size);                                                                                  \
        check_dump(input);                                                                                             \
        fuzz_body(input);                                                                                              \
        return 0;                                                                                                      \
    }                                                                                                                  \
    static void fuzz_body(fuzz_input &in)

// Texts compare as the C strings a consumer sees; absent equals empty,
// because the builders leave empty texts out.
inline std::string seen(const char *text)
{
    return text == nullptr ? std::string() : std::string(text);
}

// A text that the builders would write back as the same field length: no
// zero byte before its last one.
inline bool writes_back(const char *text)
{
    return text == nullptr || (field_length(text) >= 1 && strnlen(text, field_length(text)) + 1 == field_length(text));
}

// An exact-size text (PUID, MAC) comes back from the builders only when it
// has no zero byte before its last one, or is empty (then it is left out).
inline bool exact_writes_back(const char *text)
{
    return text == nullptr || text[0] == '\0' || writes_back(text);
}

// An untested text (authentication, notification) holds a zero byte inside
// its field, so it can be read as a C string.
inline bool terminated(const char *text)
{
    return text == nullptr || std::memchr(text, 0, field_length(text)) != nullptr;
}

// Texts of two records that compare equal field by field.
template <typename T, typename... Fields>
bool same_texts(const T &a, const T &b, Fields... fields)
{
    return ((seen(a.*fields) == seen(b.*fields)) && ...);
}

// A message the builders made from parsed values, as a new input to parse
// again; the builders must not fail on what parsed.
inline fuzz_input rebuilt(uint8_t *message)
{
    FUZZ_CHECK(message != nullptr);
    const malloc_ptr<uint8_t> owner(message);
    return fuzz_input(message, tlv_get_size(message));
}
