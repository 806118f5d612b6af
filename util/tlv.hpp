// TLV wire format (8-byte header: type, then payload length, both unsigned
// 32-bit big-endian; then the payload) with a writer that builds a message in
// one growing buffer and a reader that walks a received message in place.
// Operations that can move or release a handle return the handle to use next;
// on failure the whole writer or reader is released, errno is set and the
// failure is printed through perror (this layer reports; its callers log
// only what they decide). The finished message buffer belongs to the caller
// (free); the received bytes always belong to the caller.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t TLV_HEADER_SIZE = 8;
// The message buffer starts at this size and doubles as needed.
inline constexpr uint32_t TLV_INITIAL_BUFFER = 256;

struct tlv_writer;
struct tlv_reader;

// Writer.
// Opens an element: with a null writer a new writer and the envelope, else a
// child placed right after what the innermost open element holds so far.
[[nodiscard]] tlv_writer *tlv_write_open(tlv_writer *writer, uint32_t type);
// Copies the whole payload of a just opened element. 0, or -1: with EOVERFLOW
// (count above 32 bits) the writer is left to the caller to release; any
// other failure has released it.
[[nodiscard]] int tlv_memcpy(tlv_writer *writer, const void *data, size_t count);
// Address of the innermost open element's header; for the envelope, the
// message buffer. It moves when the buffer grows.
[[nodiscard]] uint8_t *tlv_get_buffer(tlv_writer *writer);
// Writes the innermost element's length and accounts it to its parent. Null
// once the envelope is closed: the buffer then belongs to the caller, who took
// its address with tlv_get_buffer before.
[[nodiscard]] tlv_writer *tlv_write_close(tlv_writer *writer);
// Closes every open element, sets *writer to null and returns the message.
[[nodiscard]] uint8_t *tlv_close_all(tlv_writer **writer);

// Reader: cursor is the next unread byte, avail the bytes from there to the
// end of the received data; both are updated in place.
// Opens the element whose header is at the cursor and consumes the header.
// Fewer than 8 bytes: ENODATA, *avail set to 0, reader released, null.
[[nodiscard]] tlv_reader *tlv_read_open(tlv_reader *reader, uint8_t **cursor, size_t *avail);
// Skips the unread rest of the innermost element and closes it. Null when the
// envelope was closed or on failure (reader released either way).
[[nodiscard]] tlv_reader *tlv_read_close(tlv_reader *reader, uint8_t **cursor, size_t *avail);
// Depth of the innermost open element (0: the envelope).
[[nodiscard]] int tlv_get_level(const tlv_reader *reader);
// Type of the open element at depth `level`.
[[nodiscard]] uint32_t tlv_get_parent_type(const tlv_reader *reader, int level);
// Length field of the innermost open element.
[[nodiscard]] uint32_t tlv_get_length(const tlv_reader *reader);
// True while the innermost element has unread payload.
[[nodiscard]] bool tlv_has_next(const tlv_reader *reader);
// True when the innermost element's unread payload lies within avail.
[[nodiscard]] bool tlv_can_reach_end(const tlv_reader *reader, size_t avail);
// True when a whole header can be read.
[[nodiscard]] bool tlv_is_readable(size_t avail);
