#include "util/tlv_ez.hpp"

#include "util/bytes.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Opens one element, closes it at once and hands back its header address.
// On failure the writer is released and *writer is null.
uint8_t *tlv_build(tlv_writer **writer, uint32_t type, const void *data, size_t count)
{
    *writer = tlv_write_open(*writer, type);
    if (!*writer)
        return nullptr;
    if (count != 0 && tlv_memcpy(*writer, data, count) != 0) {
        // On EOVERFLOW the writer is still alive and ours to release.
        if (errno == EOVERFLOW)
            std::free(tlv_close_all(writer));
        *writer = nullptr;
        return nullptr;
    }
    uint8_t *element = tlv_get_buffer(*writer);
    *writer = tlv_write_close(*writer);
    return element;
}

int64_t open_step(tlv_reader **reader, uint8_t **cursor, size_t *avail)
{
    if (!tlv_is_readable(*avail))
        return TLV_HEADER_SIZE - static_cast<int64_t>(*avail);
    *reader = tlv_read_open(*reader, cursor, avail);
    return *reader ? 0 : -1;
}

constexpr int DUMP_ROW = 16;

void print_node(FILE *stream, const uint8_t *bytes, size_t count, int depth, int text_columns)
{
    for (size_t row = 0; row < count; row += DUMP_ROW) {
        const size_t length = std::min<size_t>(DUMP_ROW, count - row);
        const uint8_t *data = bytes + row;
        for (int level = 0; level < depth; ++level)
            std::fputs("    ", stream);
        for (size_t i = 0; i < DUMP_ROW; ++i) {
            char shown = ' ';
            if (i < static_cast<size_t>(text_columns) && i < length)
                shown = (data[i] >= 0x20 && data[i] <= 0x7E) ? static_cast<char>(data[i]) : '.';
            std::fputc(shown, stream);
        }
        std::fputs("  ", stream);
        for (size_t i = 0; i < DUMP_ROW; ++i) {
            if (i < length)
                std::fprintf(stream, " %02x", data[i]);
            else
                std::fputs("   ", stream);
        }
        std::fputc('\n', stream);
    }
}

} // namespace

tlv_writer *tlv_nest_raw(tlv_writer *writer, uint32_t type, const void *data, size_t count)
{
    if (!writer)
        return nullptr;
    return tlv_build(&writer, type, data, count) ? writer : nullptr;
}

uint8_t *tlv_single_raw(uint32_t type, const void *data, size_t count)
{
    tlv_writer *writer = nullptr;
    return tlv_build(&writer, type, data, count);
}

int64_t tlv_parse(tlv_reader **reader, uint8_t **cursor, size_t *avail, int next)
{
    if (next == 0 || !*reader)
        return open_step(reader, cursor, avail);

    const uint32_t length = tlv_get_length(*reader);
    if (*avail < length)
        return static_cast<int64_t>(length) - static_cast<int64_t>(*avail);
    for (;;) {
        // Only a close that cannot reach the element's end fails.
        const bool reachable = tlv_can_reach_end(*reader, *avail);
        *reader = tlv_read_close(*reader, cursor, avail);
        if (!*reader)
            return reachable ? 0 : -1;
        if (tlv_has_next(*reader))
            return open_step(reader, cursor, avail);
    }
}

void tlv_skip(tlv_reader *reader, uint8_t **cursor, size_t *avail)
{
    while (reader)
        reader = tlv_read_close(reader, cursor, avail);
}

uint32_t tlv_get_envelope_type(const void *message)
{
    return load_be32(static_cast<const uint8_t *>(message));
}

uint32_t tlv_get_size(const void *element)
{
    return load_be32(static_cast<const uint8_t *>(element) + 4) + TLV_HEADER_SIZE;
}

bool tlv_is_complete(const void *data, size_t count)
{
    return count >= TLV_HEADER_SIZE && count >= tlv_get_size(data);
}

void tlv_dump(FILE *stream, const void *data, size_t count, tlv_container_fn is_container)
{
    tlv_reader *reader = nullptr;
    // The walk never writes through the cursor.
    auto *cursor = static_cast<uint8_t *>(const_cast<void *>(data));
    size_t avail = count;
    int next = 0;
    while (avail != 0) {
        int64_t result = tlv_parse(&reader, &cursor, &avail, next);
        if (result == 0 && !reader)
            result = tlv_parse(&reader, &cursor, &avail, next);
        if (result != 0) {
            const int depth = reader ? tlv_get_level(reader) + 1 : 0;
            print_node(stream, cursor, std::min<size_t>(avail, TLV_HEADER_SIZE), depth, 4);
            break;
        }
        const int level = tlv_get_level(reader);
        print_node(stream, cursor - TLV_HEADER_SIZE, TLV_HEADER_SIZE, level, 4);
        if (avail == 0)
            break;
        if (is_container && is_container(tlv_get_parent_type(reader, level))) {
            next = 0;
            continue;
        }
        const size_t n = std::min<size_t>(tlv_get_length(reader), avail);
        print_node(stream, cursor, n, level + 1, 16);
        if (n == avail)
            break;
        next = 1;
    }
    tlv_skip(reader, nullptr, nullptr);
}
