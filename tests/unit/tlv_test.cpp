// The TLV writer and reader against hand-made bytes (tlv_bytes.hpp). Cut
// inputs are vectors of exactly their size: ASan sees any read past them.
#include "support/printed.hpp"
#include "tlv_bytes.hpp"
#include "util/tlv.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

namespace {

constexpr uint32_t ENV = tlv_stringtype("ENV"), P = tlv_stringtype("P"), Q = tlv_stringtype("Q");

TEST(TlvWriter, NestedElementsGrowthAndSizeRefusals)
{
    // Exactly the initial 256 bytes, then a header, a payload and nine levels
    // that reallocate while ENV and Q stay open.
    const bytes first(232, 0xA5), second(728, 0x5A);
    tlv_writer *w = tlv_write_open(tlv_write_open(nullptr, ENV), Q);
    w = tlv_nest_raw(w, P, first.data(), first.size());
    w = tlv_nest_raw(tlv_nest_raw(w, tlv_stringtype("B"), nullptr, 0), tlv_stringtype("D"), second.data(),
                     second.size());
    bytes deep = tlv("Z");
    for (int depth = 0; depth < 9; ++depth) {
        w = tlv_write_open(w, tlv_stringtype("Z"));
        deep = depth ? tlv("Z", deep) : deep;
    }
    for (int depth = 0; depth < 9; ++depth)
        w = tlv_write_close(w);
    ASSERT_NE(w, nullptr);
    uint8_t *q = tlv_get_buffer(w);
    uint8_t *message = tlv_close_all(&w);
    EXPECT_EQ(q, message + 8);
    EXPECT_EQ(take(message), tlv("ENV", tlv("Q", cat({tlv("P", first), tlv("B"), tlv("D", second), deep}))));

    // A 32-bit overflow of the element's size is refused before any copy.
    EXPECT_EQ(tlv_memcpy(tlv_write_open(tlv_write_open(nullptr, ENV), P), "", 0xFFFFFFFFu), -1);
    EXPECT_EQ(errno, EMSGSIZE); // the writer is gone
    w = tlv_write_open(nullptr, ENV);
    EXPECT_EQ(tlv_memcpy(w, "", size_t{1} << 32), -1);
    EXPECT_EQ(errno, EOVERFLOW); // the writer is left to us
    std::free(tlv_close_all(&w));
}

// The parse loop every message parser runs: "type@level" per element, then
// the result ("-2": an element runs past the data) and the bytes consumed.
std::string walk(bytes data, bool enter_containers = true)
{
    std::string out;
    tlv_reader *reader = nullptr;
    uint8_t *cursor = data.data();
    size_t avail = data.size();
    int64_t result;
    for (int next = 0; (result = tlv_parse(&reader, &cursor, &avail, next)) == 0 && reader;) {
        if (!tlv_can_reach_end(reader, avail)) {
            result = -2;
            break;
        }
        const uint32_t type = tlv_get_parent_type(reader, tlv_get_level(reader));
        out += std::string(1, static_cast<char>(type >> 24)) + "@" + std::to_string(tlv_get_level(reader)) + " ";
        next = enter_containers && (type == ENV || type == Q) ? 0 : 1;
    }
    tlv_skip(reader, nullptr, nullptr);
    return out + std::to_string(result) + " " + std::to_string(cursor - data.data());
}

TEST(TlvParse, WalksInDocumentOrderAndCountsMissingBytes)
{
    const bytes msg = tlv("ENV", cat({tlv("P", {1, 2, 3}), tlv("Q", tlv("R", text("r")))}));
    EXPECT_EQ(walk(cat({msg, {0xEE}})), "E@0 P@1 Q@1 R@2 0 37"); // a byte after the message is not consumed
    EXPECT_EQ(walk(msg, false), "E@0 0 37");                     // the envelope stepped over whole
    EXPECT_EQ(walk(bytes(msg.begin(), msg.end() - 1)), "-2 8");  // ends inside the envelope
    // A child claiming 8 bytes of which only 4 lie inside its parent.
    bytes liar = cat({tlv("ENV", tlv("P", {1, 2, 3, 4})), {5, 6, 7, 8}});
    liar[15] = 8;
    EXPECT_EQ(walk(liar), "E@0 P@1 8 24");
    // Missing bytes of a header, then of a payload; the reader stays open.
    EXPECT_EQ(walk(bytes(msg.begin(), msg.begin() + 5)), "3 0");
    const bytes big = tlv("ENV", tlv("P", bytes(20, 0x11)));
    uint8_t *cursor = const_cast<uint8_t *>(big.data());
    size_t avail = 28;
    tlv_reader *reader = nullptr;
    ASSERT_EQ(tlv_parse(&reader, &cursor, &avail, 0) | tlv_parse(&reader, &cursor, &avail, 0), 0);
    EXPECT_EQ(tlv_parse(&reader, &cursor, &avail, 1), 8);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(cursor, big.data() + 16);
    avail = big.size() - 16; // the rest arrived: tlv_skip consumes to the end
    tlv_skip(reader, &cursor, &avail);
    EXPECT_EQ(cursor, big.data() + big.size());
    EXPECT_EQ(avail, 0u);

    // The plain reader: a 7-byte header, a payload one byte short.
    bytes seven(big.begin(), big.begin() + 7), short_one(big.begin(), big.end() - 1);
    cursor = seven.data();
    avail = 7;
    EXPECT_EQ(tlv_read_open(nullptr, &cursor, &avail), nullptr);
    EXPECT_EQ(errno, ENODATA);
    cursor = short_one.data();
    avail = short_one.size();
    EXPECT_EQ(tlv_read_close(tlv_read_open(nullptr, &cursor, &avail), &cursor, &avail), nullptr);
    EXPECT_EQ(errno, ENODATA);
    EXPECT_FALSE(tlv_is_complete(seven.data(), 7));
    EXPECT_FALSE(tlv_is_complete(short_one.data(), short_one.size()));
    EXPECT_TRUE(tlv_is_complete(big.data(), big.size()));
}

// One dump row: indent, 16 text columns, two spaces, up to 16 hex bytes.
std::string row(int depth, const std::string &shown, const std::string &hex)
{
    return std::string(4 * depth, ' ') + shown + std::string(16 - shown.size(), ' ') + "  " + hex +
           std::string(48 - hex.size(), ' ') + "\n";
}

std::string dump(const bytes &data, tlv_container_fn is_container)
{
    return printed([&](FILE *stream) { tlv_dump(stream, data.data(), data.size(), is_container); });
}

TEST(TlvDump, RowsAreByteExact)
{
    const auto chal_container = [](uint32_t type) { return type == tlv_stringtype("CHAL") ? 1 : 0; };
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

} // namespace
