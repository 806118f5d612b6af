// The TLV writer and reader against hand-made bytes (tlv_bytes.hpp).
#include "tlv_bytes.hpp"
#include "util/tlv.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

namespace {

constexpr uint32_t ENV = tlv_stringtype("ENV"), P = tlv_stringtype("P"), Q = tlv_stringtype("Q");

bytes message_bytes(uint8_t *message)
{
    return wire(message_ptr(message));
}

// A copy of exactly the given size: ASan sees any read past its end.
struct heap_copy {
    heap_copy(const bytes &b, size_t n) : data(static_cast<uint8_t *>(std::malloc(n))) { std::memcpy(data, b.data(), n); }
    ~heap_copy() { std::free(data); }
    uint8_t *data;
};

TEST(TlvWriter, NestedElementsAndOneElementMessages)
{
    tlv_writer *w = tlv_write_open(nullptr, ENV);
    uint8_t *envelope = tlv_get_buffer(w);
    w = tlv_nest_raw(w, P, "ab", 3);
    w = tlv_write_open(w, Q);
    EXPECT_EQ(tlv_get_buffer(w), envelope + 8 + 11);  // right after what its parent holds so far
    w = tlv_nest_raw(w, tlv_stringtype("MAC"), "\1\2\3\4\5\6", 6);
    w = tlv_write_close(w);
    ASSERT_NE(w, nullptr);
    uint8_t *message = tlv_close_all(&w);
    EXPECT_EQ(w, nullptr);
    ASSERT_EQ(message, envelope);
    EXPECT_EQ(message_bytes(message), tlv("ENV", cat({tlv("P", text("ab")), tlv("Q", tlv("MAC", {1, 2, 3, 4, 5, 6}))})));

    EXPECT_EQ(message_bytes(tlv_single_raw(tlv_stringtype("LOOK"), nullptr, 0)), tlv("LOOK"));
    EXPECT_EQ(message_bytes(tlv_single_raw(tlv_stringtype("ERR"), "no", 3)), tlv("ERR", text("no")));

    // A 32-bit overflow of the element's size is refused before any copy.
    w = tlv_write_open(tlv_write_open(nullptr, ENV), P);
    EXPECT_EQ(tlv_memcpy(w, "", 0xFFFFFFFFu), -1);
    EXPECT_EQ(errno, EMSGSIZE);  // the writer is gone
    w = tlv_write_open(nullptr, ENV);
    EXPECT_EQ(tlv_memcpy(w, "", size_t{1} << 32), -1);
    EXPECT_EQ(errno, EOVERFLOW);  // the writer is left to us
    std::free(tlv_close_all(&w));
}

TEST(TlvWriter, GrowthKeepsOpenFramesAndBytes)
{
    // Exactly the initial 256 bytes, then a header and a payload that need
    // reallocations while ENV and Q stay open; nine levels deep as well.
    const bytes first(232, 0xA5), second(728, 0x5A);
    tlv_writer *w = tlv_write_open(tlv_write_open(nullptr, ENV), Q);
    w = tlv_nest_raw(w, P, first.data(), first.size());
    w = tlv_nest_raw(w, tlv_stringtype("B"), nullptr, 0);
    w = tlv_nest_raw(w, tlv_stringtype("D"), second.data(), second.size());
    for (int depth = 0; depth < 9; ++depth)
        w = tlv_write_open(w, tlv_stringtype("Z"));
    bytes deep = tlv("Z");
    for (int depth = 0; depth < 8; ++depth)
        deep = tlv("Z", deep);
    ASSERT_NE(w, nullptr);
    for (int depth = 0; depth < 9; ++depth)
        w = tlv_write_close(w);
    uint8_t *q = tlv_get_buffer(w);
    w = tlv_write_close(w);
    uint8_t *message = tlv_close_all(&w);
    EXPECT_EQ(q, message + 8);
    EXPECT_EQ(message_bytes(message), tlv("ENV", tlv("Q", cat({tlv("P", first), tlv("B"), tlv("D", second), deep}))));
}

struct visit {
    uint32_t type;
    int level;
    bool operator==(const visit &) const = default;
};

struct walk_result {
    int64_t result;  // -2: an element runs past the data
    std::vector<visit> visits;
    size_t consumed;
};

int env_and_q(uint32_t type)
{
    return type == ENV || type == Q;
}

// The parse loop every message parser runs.
walk_result walk(uint8_t *data, size_t avail, tlv_container_fn is_container)
{
    walk_result out{0, {}, 0};
    tlv_reader *reader = nullptr;
    uint8_t *cursor = data;
    int next = 0;
    while ((out.result = tlv_parse(&reader, &cursor, &avail, next)) == 0 && reader) {
        if (!tlv_can_reach_end(reader, avail)) {
            out.result = -2;
            break;
        }
        const uint32_t type = tlv_get_parent_type(reader, tlv_get_level(reader));
        out.visits.push_back({type, tlv_get_level(reader)});
        next = is_container && is_container(type) ? 0 : 1;
    }
    out.consumed = static_cast<size_t>(cursor - data);
    tlv_skip(reader, nullptr, nullptr);
    return out;
}

TEST(TlvParse, WalksInDocumentOrderAndStaysWithinTheData)
{
    bytes msg = tlv("ENV", cat({tlv("P", {1, 2, 3}), tlv("Q", tlv("R", text("r")))}));
    msg.push_back(0xEE);  // a byte after the message is not consumed
    walk_result out = walk(msg.data(), msg.size(), env_and_q);
    EXPECT_EQ(out.result, 0);
    const uint32_t R = tlv_stringtype("R");
    EXPECT_EQ(out.visits, (std::vector<visit>{{ENV, 0}, {P, 1}, {Q, 1}, {R, 2}}));
    EXPECT_EQ(out.consumed, msg.size() - 1);
    out = walk(msg.data(), msg.size(), nullptr);  // the envelope stepped over whole
    EXPECT_EQ(out.visits, (std::vector<visit>{{ENV, 0}}));
    EXPECT_EQ(out.consumed, msg.size() - 1);
    EXPECT_EQ(walk(msg.data(), msg.size() - 2, env_and_q).result, -2);  // ends inside the envelope

    // A child claiming 8 bytes of which only 4 lie inside its parent: the
    // walk never reads past the received data.
    bytes liar = cat({tlv("ENV", tlv("P", {1, 2, 3, 4})), {5, 6, 7, 8}});
    liar[15] = 8;
    heap_copy copy(liar, liar.size());
    out = walk(copy.data, liar.size(), env_and_q);
    EXPECT_EQ(out.visits, (std::vector<visit>{{ENV, 0}, {P, 1}}));
    EXPECT_EQ(out.consumed, liar.size());
}

TEST(TlvParse, CountsMissingBytes)
{
    bytes msg = tlv("ENV", tlv("P", bytes(20, 0x11)));
    uint8_t *cursor = msg.data();
    tlv_reader *reader = nullptr;
    size_t avail = 5;
    EXPECT_EQ(tlv_parse(&reader, &cursor, &avail, 0), 3);
    EXPECT_EQ(reader, nullptr);
    EXPECT_EQ(cursor, msg.data());

    avail = 8 + 8 + 12;  // 12 of P's 20 payload bytes
    ASSERT_EQ(tlv_parse(&reader, &cursor, &avail, 0), 0);
    ASSERT_EQ(tlv_parse(&reader, &cursor, &avail, 0), 0);
    EXPECT_EQ(tlv_parse(&reader, &cursor, &avail, 1), 8);
    ASSERT_NE(reader, nullptr);  // still open: more bytes may come
    EXPECT_EQ(cursor, msg.data() + 16);
    tlv_skip(reader, nullptr, nullptr);
    reader = nullptr;

    // With the whole message, tlv_skip consumes it to its end.
    cursor = msg.data();
    avail = msg.size();
    ASSERT_EQ(tlv_parse(&reader, &cursor, &avail, 0), 0);
    ASSERT_EQ(tlv_parse(&reader, &cursor, &avail, 0), 0);
    tlv_skip(reader, &cursor, &avail);
    EXPECT_EQ(cursor, msg.data() + msg.size());
    EXPECT_EQ(avail, 0u);

    // The plain reader: a 7-byte header, a payload one byte short.
    heap_copy seven(msg, 7);
    cursor = seven.data;
    avail = 7;
    EXPECT_EQ(tlv_read_open(nullptr, &cursor, &avail), nullptr);
    EXPECT_EQ(errno, ENODATA);
    heap_copy short_one(msg, msg.size() - 1);
    cursor = short_one.data;
    avail = msg.size() - 1;
    EXPECT_EQ(tlv_read_close(tlv_read_open(nullptr, &cursor, &avail), &cursor, &avail), nullptr);
    EXPECT_EQ(errno, ENODATA);
    EXPECT_FALSE(tlv_is_complete(seven.data, 7));
    EXPECT_FALSE(tlv_is_complete(short_one.data, msg.size() - 1));
    EXPECT_TRUE(tlv_is_complete(msg.data(), msg.size()));
}

std::string dump(const bytes &data, tlv_container_fn is_container)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&text, &size);
    tlv_dump(stream, data.data(), data.size(), is_container);
    std::fclose(stream);
    std::string out(text, size);
    std::free(text);
    return out;
}

int chal_container(uint32_t type)
{
    return type == tlv_stringtype("CHAL");
}

// One dump row: indent, 16 text columns, two spaces, up to 16 hex bytes.
std::string row(int depth, const std::string &shown, const std::string &hex)
{
    return std::string(4 * depth, ' ') + shown + std::string(16 - shown.size(), ' ') + "  " + hex +
           std::string(48 - hex.size(), ' ') + "\n";
}

TEST(TlvDump, RowsAreByteExact)
{
    const bytes msg = tlv("CHAL", cat({tlv("PUID", text("01:02:03:04:05:06")), tlv("CHA", {0x00, 0x7F, 0x41, 0xFF})}));
    const std::string chal = row(0, "CHAL", " 43 48 41 4c 00 00 00 26");
    EXPECT_EQ(dump(msg, chal_container),
              chal + row(1, "PUID", " 50 55 49 44 00 00 00 12") +
                  row(2, "01:02:03:04:05:0", " 30 31 3a 30 32 3a 30 33 3a 30 34 3a 30 35 3a 30") +
                  row(2, "6.", " 36 00") + row(1, "CHA.", " 43 48 41 00 00 00 00 04") + row(2, "..A.", " 00 7f 41 ff"));

    // Cut inside PUID's header: the part that is there, then nothing; two
    // messages one after the other are both shown.
    EXPECT_EQ(dump(bytes(msg.begin(), msg.begin() + 13), chal_container), chal + row(1, "PUID", " 50 55 49 44 00"));
    const std::string look = row(0, "LOOK", " 4c 4f 4f 4b 00 00 00 00");
    EXPECT_EQ(dump(cat({tlv("LOOK"), tlv("LOOK")}), nullptr), look + look);
}

}  // namespace
