#include "util/tlv.hpp"
#include "util/tlv_ez.hpp"

#include <gtest/gtest.h>

#include <malloc.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// A reference encoding, written independently of the writer.
void put_header(bytes &out, uint32_t type, uint32_t length)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(type >> shift));
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(length >> shift));
}

bytes leaf(uint32_t type, const bytes &payload)
{
    bytes out;
    put_header(out, type, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

bytes container(uint32_t type, const std::vector<bytes> &children)
{
    bytes payload;
    for (const bytes &child : children)
        payload.insert(payload.end(), child.begin(), child.end());
    return leaf(type, payload);
}

bytes message_bytes(const uint8_t *message)
{
    return bytes(message, message + tlv_get_size(message));
}

constexpr uint32_t INFO = 0x494E464F, INTF = 0x494E5446, NAME = 0x4E414D45, LOOK = 0x4C4F4F4B;

tlv_writer *write_leaf(tlv_writer *w, uint32_t type, const bytes &payload)
{
    w = tlv_write_open(w, type);
    EXPECT_NE(w, nullptr);
    if (!payload.empty()) {
        EXPECT_EQ(tlv_memcpy(w, payload.data(), payload.size()), 0);
    }
    return tlv_write_close(w);
}

TEST(TlvWriter, EmptyEnvelopeAndNestedChildren)
{
    tlv_writer *w = tlv_write_open(nullptr, LOOK);
    ASSERT_NE(w, nullptr);
    uint8_t *look = tlv_get_buffer(w);
    EXPECT_EQ(tlv_write_close(w), nullptr);
    EXPECT_EQ(message_bytes(look), (bytes{0x4C, 0x4F, 0x4F, 0x4B, 0, 0, 0, 0}));
    std::free(look);

    w = tlv_write_open(nullptr, INFO);
    uint8_t *envelope = tlv_get_buffer(w);
    w = write_leaf(w, NAME, {'a', 'b', 0});
    w = tlv_write_open(w, INTF);
    // The child's header sits right after what its parent holds so far.
    EXPECT_EQ(tlv_get_buffer(w), envelope + 8 + 11);
    w = write_leaf(w, 0x4D414300, {1, 2, 3, 4, 5, 6});
    w = tlv_write_close(w);
    ASSERT_NE(w, nullptr);
    uint8_t *message = tlv_close_all(&w);
    EXPECT_EQ(w, nullptr);
    ASSERT_EQ(message, envelope);
    const bytes expected = container(INFO, {leaf(NAME, {'a', 'b', 0}),
                                            container(INTF, {leaf(0x4D414300, {1, 2, 3, 4, 5, 6})})});
    EXPECT_EQ(message_bytes(message), expected);
    EXPECT_EQ(tlv_get_size(message), (8u + 3u) + (8u + 14u) + 8u);
    std::free(message);
}

TEST(TlvWriter, BufferGrowthKeepsOpenFramesAndBytes)
{
    // The allocator may round a request up a little, never to the next size.
    auto allocated = [](const uint8_t *buffer) { return malloc_usable_size(const_cast<uint8_t *>(buffer)); };
    tlv_writer *w = tlv_write_open(nullptr, INFO);
    ASSERT_NE(w, nullptr);
    EXPECT_GE(allocated(tlv_get_buffer(w)), 256u);
    EXPECT_LT(allocated(tlv_get_buffer(w)), 512u);

    // Exactly 256 bytes in all: INFO header, INTF header, leaf of 8 + 232.
    w = tlv_write_open(w, INTF);
    const bytes first(232, 0xA5);
    w = write_leaf(w, NAME, first);
    EXPECT_LT(allocated(tlv_get_buffer(w) - 8), 512u);

    // The next header needs 264 bytes: 512, while INFO and INTF are open.
    w = tlv_write_open(w, 0x42000000);
    uint8_t *start = tlv_get_buffer(w) - 8 - 8 - 240;
    EXPECT_GE(allocated(start), 512u);
    EXPECT_LT(allocated(start), 1024u);
    w = tlv_write_close(w);

    // A payload that makes the message 1000 bytes: 1024.
    const bytes second(1000 - 264 - 8, 0x5A);
    w = write_leaf(w, 0x44000000, second);
    uint8_t *intf = tlv_get_buffer(w);
    w = tlv_write_close(w);
    ASSERT_NE(w, nullptr);
    uint8_t *message = tlv_close_all(&w);
    EXPECT_EQ(intf, message + 8);
    EXPECT_GE(allocated(message), 1024u);
    EXPECT_LT(allocated(message), 2048u);

    const bytes expected =
        container(INFO, {container(INTF, {leaf(NAME, first), leaf(0x42000000, {}), leaf(0x44000000, second)})});
    ASSERT_EQ(expected.size(), 1000u);
    EXPECT_EQ(message_bytes(message), expected);
    std::free(message);
}

TEST(TlvWriter, DeepNestingGrowsTheFrameStack)
{
    tlv_writer *w = nullptr;
    for (uint32_t depth = 0; depth < 9; ++depth) {
        w = tlv_write_open(w, 0x41000000 + (depth << 16));
        ASSERT_NE(w, nullptr);
    }
    EXPECT_EQ(tlv_memcpy(w, "z", 1), 0);
    uint8_t *message = tlv_close_all(&w);
    bytes expected = leaf(0x41080000, {'z'});
    for (int depth = 7; depth >= 0; --depth)
        expected = container(0x41000000 + (static_cast<uint32_t>(depth) << 16), {expected});
    EXPECT_EQ(message_bytes(message), expected);
    std::free(message);
}

TEST(TlvWriter, OversizedPayloadIsRefused)
{
    tlv_writer *w = tlv_write_open(nullptr, INFO);
    w = tlv_write_open(w, NAME);
    // A 32-bit overflow of the element's size is refused before any copy.
    static const uint8_t byte = 0;
    errno = 0;
    EXPECT_EQ(tlv_memcpy(w, &byte, 0xFFFFFFFFu), -1);
    EXPECT_EQ(errno, EMSGSIZE);  // the writer is gone; nothing to release
    w = tlv_write_open(nullptr, INFO);
    errno = 0;
    EXPECT_EQ(tlv_memcpy(w, &byte, size_t{1} << 32), -1);
    EXPECT_EQ(errno, EOVERFLOW);  // the writer is left to us
    std::free(tlv_close_all(&w));
}

TEST(TlvReader, WalksChildrenAndTracksRemaining)
{
    bytes msg = container(INFO, {leaf(0x4D414300, {1, 2}), container(INTF, {leaf(NAME, {'e', 0})})});
    uint8_t *cursor = msg.data();
    size_t avail = msg.size();

    tlv_reader *r = tlv_read_open(nullptr, &cursor, &avail);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(tlv_get_level(r), 0);
    EXPECT_EQ(tlv_get_length(r), msg.size() - 8);
    EXPECT_EQ(avail, msg.size() - 8);

    r = tlv_read_open(r, &cursor, &avail);
    EXPECT_EQ(tlv_get_parent_type(r, 1), 0x4D414300u);  // byte order survives
    EXPECT_EQ(tlv_get_length(r), 2u);
    EXPECT_EQ(cursor, msg.data() + 16);  // the value is read in place
    r = tlv_read_close(r, &cursor, &avail);
    EXPECT_EQ(tlv_get_level(r), 0);
    EXPECT_TRUE(tlv_has_next(r));
    EXPECT_TRUE(tlv_can_reach_end(r, avail));
    EXPECT_FALSE(tlv_can_reach_end(r, avail - 1));

    r = tlv_read_open(r, &cursor, &avail);
    r = tlv_read_open(r, &cursor, &avail);
    EXPECT_EQ(tlv_get_level(r), 2);
    EXPECT_EQ(tlv_get_parent_type(r, 0), INFO);
    EXPECT_EQ(tlv_get_parent_type(r, 1), INTF);
    EXPECT_EQ(tlv_get_parent_type(r, 2), NAME);
    r = tlv_read_close(r, &cursor, &avail);
    EXPECT_FALSE(tlv_has_next(r));  // NAME was INTF's last child
    r = tlv_read_close(r, &cursor, &avail);
    EXPECT_FALSE(tlv_has_next(r));
    EXPECT_EQ(tlv_read_close(r, &cursor, &avail), nullptr);  // envelope closed
    EXPECT_EQ(cursor, msg.data() + msg.size());
    EXPECT_EQ(avail, 0u);
}

TEST(TlvReader, ShortDataIsRefusedWithoutReadingPastIt)
{
    // Heap copies so that the address checker sees any read past the end.
    bytes msg = leaf(NAME, {1, 2, 3, 4});
    auto *seven = static_cast<uint8_t *>(std::malloc(7));
    std::memcpy(seven, msg.data(), 7);
    uint8_t *cursor = seven;
    size_t avail = 7;
    errno = 0;
    EXPECT_EQ(tlv_read_open(nullptr, &cursor, &avail), nullptr);
    EXPECT_EQ(errno, ENODATA);
    EXPECT_EQ(avail, 0u);
    std::free(seven);

    // Payload one byte short: the close fails; exactly enough empties avail.
    for (size_t have : {msg.size() - 1, msg.size()}) {
        auto *copy = static_cast<uint8_t *>(std::malloc(have));
        std::memcpy(copy, msg.data(), have);
        cursor = copy;
        avail = have;
        tlv_reader *r = tlv_read_open(nullptr, &cursor, &avail);
        ASSERT_NE(r, nullptr);
        errno = 0;
        EXPECT_EQ(tlv_read_close(r, &cursor, &avail), nullptr);
        EXPECT_EQ(avail, 0u);
        if (have < msg.size()) {
            EXPECT_EQ(errno, ENODATA);
        } else {
            EXPECT_EQ(cursor, copy + have);
        }
        std::free(copy);
    }
}

}  // namespace
