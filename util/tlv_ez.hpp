// Convenience layer over the TLV writer and reader: whole leaf elements and
// one-element messages, the element-by-element walk every message parser
// uses, reading a message's type and size, and a hex dump for diagnostics.
// Failures give null or -1 with the writer or reader released (as in tlv.hpp);
// rules); positive tlv_parse results count bytes still missing.
#pragma once

#include "util/tlv.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Non-zero for the types whose payload is a sequence of child elements.
using tlv_container_fn = int (*)(uint32_t type);

// Type code of up to four characters, the first in the most significant byte;
// "ID" is 0x49440000, "" is 0, characters after the fourth are ignored.
[[nodiscard]] constexpr uint32_t tlv_stringtype(const char *text)
{
    uint32_t type = 0;
    for (int i = 0; i < 4; ++i) {
        type <<= 8;
        if (*text)
            type |= static_cast<unsigned char>(*text++);
    }
    return type;
}

// Appends a complete leaf to the innermost open element of a non-null writer.
// Returns the writer to use from then on, or null (writer released).
[[nodiscard]] tlv_writer *tlv_nest_raw(tlv_writer *writer, uint32_t type, const void *data, size_t count);
// A whole message: one envelope holding the given payload. Caller frees.
[[nodiscard]] uint8_t *tlv_single_raw(uint32_t type, const void *data, size_t count);

// Advances a walk by one element. next 0 opens the element at the cursor (the
// envelope, or the first child of the current element); non-zero moves past
// the current element to what follows. 0: an element is open, or the message
// is finished (*reader null). -1: failure (*reader null). Positive: bytes
// still missing (the reader stays open).
[[nodiscard]] int64_t tlv_parse(tlv_reader **reader, uint8_t **cursor, size_t *avail, int next);
// Ends a walk: closes every open element, skipping its unread payload, and
// releases the reader. With null cursor and avail only the frames go.
void tlv_skip(tlv_reader *reader, uint8_t **cursor, size_t *avail);

// These read the header at the address, which must hold 8 bytes.
[[nodiscard]] uint32_t tlv_get_envelope_type(const void *message);
// Length field plus 8: for a message, the number of bytes to send.
[[nodiscard]] uint32_t tlv_get_size(const void *element);
// True when count bytes hold a whole element (never for fewer than 8).
[[nodiscard]] bool tlv_is_complete(const void *data, size_t count);

// Prints count bytes as an indented tree of hex rows; payloads of types that
// is_container accepts are printed as children. Stops at the first element
// that cannot be walked; never fails.
void tlv_dump(FILE *stream, const void *data, size_t count, tlv_container_fn is_container);
