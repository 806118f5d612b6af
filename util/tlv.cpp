#include "util/tlv.hpp"

#include "util/stack.hpp"

#include "util/bytes.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// perror may itself change errno; the caller reads the failure's errno.
void report(const char *text)
{
    const int error = errno;
    std::perror(text);
    errno = error;
}

struct write_frame {
    uint8_t *start; // first header byte inside the message buffer
    uint32_t size;  // bytes written so far, header included
    uint32_t room;  // bytes from start to the end of the buffer
};

struct read_frame {
    uint32_t type;
    uint32_t length;
    uint32_t remaining; // payload bytes not yet consumed
};

constexpr uint32_t MAX_BUFFER = 1u << 31;

stack *frames(tlv_writer *writer)
{
    return reinterpret_cast<stack *>(writer);
}

stack *frames(tlv_reader *reader)
{
    return reinterpret_cast<stack *>(reader);
}

const stack *frames(const tlv_reader *reader)
{
    return reinterpret_cast<const stack *>(reader);
}

write_frame &frame_at(tlv_writer *writer, int32_t index)
{
    return *static_cast<write_frame *>(stack_get(frames(writer), index, sizeof(write_frame)));
}

write_frame &top(tlv_writer *writer)
{
    return frame_at(writer, stack_get_top(frames(writer)));
}

const read_frame &frame_at(const tlv_reader *reader, int32_t index)
{
    return *static_cast<const read_frame *>(stack_get(frames(reader), index, sizeof(read_frame)));
}

read_frame &top(tlv_reader *reader)
{
    stack *s = frames(reader);
    return *static_cast<read_frame *>(stack_get(s, stack_get_top(s), sizeof(read_frame)));
}

const read_frame &top(const tlv_reader *reader)
{
    return frame_at(reader, stack_get_top(frames(reader)));
}

void tlv_free(tlv_writer *writer)
{
    if (!writer)
        return;
    std::free(frame_at(writer, 0).start);
    stack *s = frames(writer);
    while (s)
        s = stack_pop(s);
}

void tlv_release(tlv_reader *reader)
{
    stack *s = frames(reader);
    while (s)
        s = stack_pop(s);
}

tlv_writer *fail_writer(tlv_writer *writer, int error)
{
    tlv_free(writer);
    errno = error;
    return nullptr;
}

// Makes sure count more bytes fit behind the innermost open element.
tlv_writer *tlv_realloc(tlv_writer *writer, uint32_t count)
{
    write_frame &inner = top(writer);
    uint32_t needed;
    if (__builtin_add_overflow(inner.size, count, &needed))
        return fail_writer(writer, EMSGSIZE);
    if (needed <= inner.room)
        return writer;

    write_frame &envelope = frame_at(writer, 0);
    uint32_t total;
    if (__builtin_add_overflow(needed - inner.room, envelope.room, &total) || total > MAX_BUFFER)
        return fail_writer(writer, EMSGSIZE);
    uint32_t new_size = TLV_INITIAL_BUFFER;
    while (new_size < total)
        new_size *= 2;

    // Frames are rebased by their offset from the old buffer's address.
    const uintptr_t old_address = reinterpret_cast<uintptr_t>(envelope.start);
    const uint32_t old_size = envelope.room;
    auto *buffer = static_cast<uint8_t *>(std::realloc(envelope.start, new_size));
    if (!buffer) {
        const int error = errno;
        report("realloc failed");
        return fail_writer(writer, error);
    }
    // Frame 0 last: every other frame is rebased against its old values.
    for (int32_t i = stack_get_top(frames(writer)); i > 0; --i) {
        write_frame &frame = frame_at(writer, i);
        frame.start = buffer + (reinterpret_cast<uintptr_t>(frame.start) - old_address);
        frame.room += new_size - old_size;
    }
    envelope.start = buffer;
    envelope.room = new_size;
    return writer;
}

// Consumes count bytes: moves the cursor and lowers the remaining payload of
// every element enclosing the innermost one.
int tlv_read_update(tlv_reader *reader, uint8_t **cursor, size_t *avail, uint32_t count)
{
    if (avail) {
        if (*avail < count) {
            *avail = 0;
            errno = ENODATA;
            return -1;
        }
        *avail -= count;
    }
    if (cursor)
        *cursor += count;
    stack *s = frames(reader);
    for (int32_t i = 0; i < stack_get_top(s); ++i)
        static_cast<read_frame *>(stack_get(s, i, sizeof(read_frame)))->remaining -= count;
    return 0;
}

} // namespace

tlv_writer *tlv_write_open(tlv_writer *writer, uint32_t type)
{
    uint8_t *buffer = writer ? frame_at(writer, 0).start : nullptr;
    stack *s = stack_push(frames(writer), sizeof(write_frame));
    if (!s) {
        std::free(buffer);
        return nullptr;
    }
    writer = reinterpret_cast<tlv_writer *>(s);
    const int32_t index = stack_get_top(s);
    write_frame &frame = frame_at(writer, index);
    if (index == 0) {
        frame.start = nullptr;
        frame.room = 0;
    } else {
        const write_frame &parent = frame_at(writer, index - 1);
        frame.start = parent.start + parent.size;
        frame.room = parent.room - parent.size;
    }
    frame.size = 0;

    writer = tlv_realloc(writer, TLV_HEADER_SIZE);
    if (!writer) {
        report("tlv_write_open failed");
        return nullptr;
    }
    write_frame &opened = top(writer);
    store_be32(opened.start, type);
    opened.size += TLV_HEADER_SIZE;
    return writer;
}

int tlv_memcpy(tlv_writer *writer, const void *data, size_t count)
{
    if (count > std::numeric_limits<uint32_t>::max()) {
        errno = EOVERFLOW;
        report("tlv_memcpy failed");
        return -1;
    }
    if (!tlv_realloc(writer, static_cast<uint32_t>(count))) {
        report("tlv_memcpy failed");
        return -1;
    }
    write_frame &frame = top(writer);
    if (count != 0)
        std::memcpy(frame.start + frame.size, data, count);
    frame.size += static_cast<uint32_t>(count);
    return 0;
}

uint8_t *tlv_get_buffer(tlv_writer *writer)
{
    return writer ? top(writer).start : nullptr;
}

tlv_writer *tlv_write_close(tlv_writer *writer)
{
    if (!writer)
        return nullptr;
    const int32_t index = stack_get_top(frames(writer));
    const write_frame &frame = frame_at(writer, index);
    store_be32(frame.start + 4, frame.size - TLV_HEADER_SIZE);
    if (index > 0)
        frame_at(writer, index - 1).size += frame.size;
    return reinterpret_cast<tlv_writer *>(stack_pop(frames(writer)));
}

uint8_t *tlv_close_all(tlv_writer **writer)
{
    if (!*writer)
        return nullptr;
    uint8_t *buffer = frame_at(*writer, 0).start;
    while (*writer)
        *writer = tlv_write_close(*writer);
    return buffer;
}

tlv_reader *tlv_read_open(tlv_reader *reader, uint8_t **cursor, size_t *avail)
{
    stack *s = stack_push(frames(reader), sizeof(read_frame));
    if (!s) {
        report("tlv_read_open failed");
        return nullptr;
    }
    reader = reinterpret_cast<tlv_reader *>(s);
    const uint8_t *header = *cursor;
    if (tlv_read_update(reader, cursor, avail, TLV_HEADER_SIZE) != 0) {
        report("tlv_read_open failed");
        tlv_release(reader);
        return nullptr;
    }
    read_frame &frame = top(reader);
    frame.type = load_be32(header);
    frame.length = load_be32(header + 4);
    frame.remaining = frame.length;
    return reader;
}

tlv_reader *tlv_read_close(tlv_reader *reader, uint8_t **cursor, size_t *avail)
{
    if (!reader)
        return nullptr;
    if (tlv_read_update(reader, cursor, avail, top(reader).remaining) != 0) {
        report("tlv_read_close failed");
        tlv_release(reader);
        return nullptr;
    }
    return reinterpret_cast<tlv_reader *>(stack_pop(frames(reader)));
}

int tlv_get_level(const tlv_reader *reader)
{
    return stack_get_top(frames(reader));
}

uint32_t tlv_get_parent_type(const tlv_reader *reader, int level)
{
    return frame_at(reader, level).type;
}

uint32_t tlv_get_length(const tlv_reader *reader)
{
    return top(reader).length;
}

bool tlv_has_next(const tlv_reader *reader)
{
    return top(reader).remaining != 0;
}

bool tlv_can_reach_end(const tlv_reader *reader, size_t avail)
{
    return top(reader).remaining <= avail;
}

bool tlv_is_readable(size_t avail)
{
    return avail >= TLV_HEADER_SIZE;
}
