#include "util/tlv_ez.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

void put_header(bytes &out, uint32_t type, uint32_t length)
{
    for (uint32_t value : {type, length})
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<uint8_t>(value >> shift));
}

bytes element(uint32_t type, const std::vector<bytes> &parts)
{
    bytes payload;
    for (const bytes &part : parts)
        payload.insert(payload.end(), part.begin(), part.end());
    bytes out;
    put_header(out, type, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

constexpr uint32_t LOOK = tlv_stringtype("LOOK");
constexpr uint32_t ENV = tlv_stringtype("ENV");
constexpr uint32_t P = tlv_stringtype("P");
constexpr uint32_t Q = tlv_stringtype("Q");
constexpr uint32_t R = tlv_stringtype("R");

static_assert(LOOK == 0x4C4F4F4B);
static_assert(tlv_stringtype("OK") == 0x4F4B0000);
static_assert(tlv_stringtype("LOOKING") == 0x4C4F4F4B);
static_assert(tlv_stringtype("ID") == 0x49440000);
static_assert(tlv_stringtype("") == 0);

int env_and_q(uint32_t type)
{
    return type == ENV || type == Q;
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

// The parse loop every message parser runs.
walk_result walk(uint8_t *data, size_t avail, tlv_container_fn is_container)
{
    walk_result out{0, {}, 0};
    tlv_reader *reader = nullptr;
    uint8_t *cursor = data;
    int next = 0;
    for (;;) {
        out.result = tlv_parse(&reader, &cursor, &avail, next);
        if (out.result != 0 || !reader)
            break;
        if (!tlv_can_reach_end(reader, avail)) {
            out.result = -2;
            break;
        }
        const int level = tlv_get_level(reader);
        const uint32_t type = tlv_get_parent_type(reader, level);
        out.visits.push_back({type, level});
        next = is_container && is_container(type) ? 0 : 1;
    }
    out.consumed = static_cast<size_t>(cursor - data);
    tlv_skip(reader, nullptr, nullptr);
    return out;
}

TEST(TlvBuild, SingleAndNestedLeaves)
{
    uint8_t *look = tlv_single_raw(LOOK, nullptr, 0);
    ASSERT_NE(look, nullptr);
    EXPECT_EQ(bytes(look, look + 8), (bytes{0x4C, 0x4F, 0x4F, 0x4B, 0, 0, 0, 0}));
    EXPECT_EQ(tlv_get_size(look), 8u);
    EXPECT_EQ(tlv_get_envelope_type(look), LOOK);
    std::free(look);

    uint8_t *err = tlv_single_raw(tlv_stringtype("ERR"), "no", 3);
    EXPECT_EQ(bytes(err, err + tlv_get_size(err)), (bytes{'E', 'R', 'R', 0, 0, 0, 0, 3, 'n', 'o', 0}));
    std::free(err);

    tlv_writer *w = tlv_write_open(nullptr, ENV);
    w = tlv_nest_raw(w, P, "hello", 6);
    ASSERT_NE(w, nullptr);
    const uint8_t byte = 7;
    w = tlv_nest_raw(w, Q, &byte, 1);
    uint8_t *message = tlv_close_all(&w);
    EXPECT_EQ(tlv_get_size(message), 8u + 14u + 9u);
    EXPECT_EQ(bytes(message, message + tlv_get_size(message)),
              element(ENV, {element(P, {{'h', 'e', 'l', 'l', 'o', 0}}), element(Q, {{7}})}));
    std::free(message);

    EXPECT_EQ(tlv_nest_raw(nullptr, P, "x", 2), nullptr);
}

TEST(TlvParse, WalksInDocumentOrderAndEndsAtTheEnvelope)
{
    bytes msg = element(ENV, {element(P, {{1, 2, 3}}), element(Q, {element(R, {{'r', 0}})})});
    msg.push_back(0xEE);  // a byte after the message is not consumed
    walk_result out = walk(msg.data(), msg.size(), env_and_q);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.visits, (std::vector<visit>{{ENV, 0}, {P, 1}, {Q, 1}, {R, 2}}));
    EXPECT_EQ(out.consumed, msg.size() - 1);

    // Without the container rule the envelope is stepped over whole.
    out = walk(msg.data(), msg.size(), nullptr);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.visits, (std::vector<visit>{{ENV, 0}}));
    EXPECT_EQ(out.consumed, msg.size() - 1);

    // An empty container entered as such takes what follows as its child;
    // with nothing after the envelope a whole header is missing.
    bytes empty = element(ENV, {element(Q, {})});
    out = walk(empty.data(), empty.size(), env_and_q);
    EXPECT_EQ(out.result, 8);
    EXPECT_EQ(out.visits, (std::vector<visit>{{ENV, 0}, {Q, 1}}));
}

TEST(TlvParse, ReportsMissingBytes)
{
    bytes msg = element(ENV, {element(P, {bytes(20, 0x11)})});
    uint8_t *cursor = msg.data();
    tlv_reader *reader = nullptr;

    size_t avail = 5;
    EXPECT_EQ(tlv_parse(&reader, &cursor, &avail, 0), 3);
    EXPECT_EQ(reader, nullptr);
    EXPECT_EQ(cursor, msg.data());
    EXPECT_EQ(avail, 5u);

    avail = 8 + 8 + 12;  // 12 of P's 20 payload bytes
    ASSERT_EQ(tlv_parse(&reader, &cursor, &avail, 0), 0);
    ASSERT_EQ(tlv_parse(&reader, &cursor, &avail, 0), 0);
    EXPECT_EQ(tlv_get_parent_type(reader, 1), P);
    EXPECT_FALSE(tlv_can_reach_end(reader, avail));
    EXPECT_EQ(tlv_parse(&reader, &cursor, &avail, 1), 8);
    ASSERT_NE(reader, nullptr);  // still open: more bytes may come
    EXPECT_EQ(cursor, msg.data() + 16);
    tlv_skip(reader, nullptr, nullptr);
    EXPECT_EQ(cursor, msg.data() + 16);

    // The whole message, walked with tlv_skip from the envelope.
    cursor = msg.data();
    avail = msg.size();
    reader = nullptr;
    ASSERT_EQ(tlv_parse(&reader, &cursor, &avail, 0), 0);
    ASSERT_EQ(tlv_parse(&reader, &cursor, &avail, 0), 0);
    tlv_skip(reader, &cursor, &avail);
    EXPECT_EQ(cursor, msg.data() + msg.size());
    EXPECT_EQ(avail, 0u);

    // The received message ends inside the envelope: the walk fails.
    walk_result out = walk(msg.data(), msg.size() - 1, env_and_q);
    EXPECT_EQ(out.result, -2);
}

TEST(TlvParse, ChildClaimingMoreThanItsParentStaysWithinTheData)
{
    // P claims 8 payload bytes; only 4 lie inside ENV, 4 more follow it.
    bytes msg = element(ENV, {});
    put_header(msg, P, 8);
    msg.insert(msg.end(), {1, 2, 3, 4});
    msg[7] = 12;
    msg.insert(msg.end(), {5, 6, 7, 8});
    // Heap copy: the address checker sees any read past the end.
    auto *data = static_cast<uint8_t *>(std::malloc(msg.size()));
    std::memcpy(data, msg.data(), msg.size());
    walk_result out = walk(data, msg.size(), env_and_q);
    EXPECT_EQ(out.visits, (std::vector<visit>{{ENV, 0}, {P, 1}}));
    EXPECT_EQ(out.result, 8);  // ENV's remaining wrapped: a further header is missing
    EXPECT_EQ(out.consumed, msg.size());
    std::free(data);
}

TEST(TlvInspect, CompletenessNeedsHeaderAndPayload)
{
    bytes msg = element(P, {bytes(12, 0)});
    ASSERT_EQ(msg.size(), 20u);
    auto *seven = static_cast<uint8_t *>(std::malloc(7));
    std::memcpy(seven, msg.data(), 7);
    EXPECT_FALSE(tlv_is_complete(seven, 7));  // the header is not read
    std::free(seven);
    EXPECT_FALSE(tlv_is_complete(msg.data(), 19));
    EXPECT_TRUE(tlv_is_complete(msg.data(), 20));
    EXPECT_TRUE(tlv_is_complete(msg.data(), 21));
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

std::string pad(int n)
{
    return std::string(static_cast<size_t>(n), ' ');
}

int chal_container(uint32_t type)
{
    return type == tlv_stringtype("CHAL");
}

TEST(TlvDump, RowsAreByteExact)
{
    const bytes puid = {'0', '1', ':', '0', '2', ':', '0', '3', ':', '0', '4', ':', '0', '5', ':', '0', '6', 0};
    const bytes msg = element(tlv_stringtype("CHAL"), {element(tlv_stringtype("PUID"), {puid}),
                                                       element(tlv_stringtype("CHA"), {{0x00, 0x7F, 0x41, 0xFF}})});
    const std::string expected =
        "CHAL" + pad(12) + "  " + " 43 48 41 4c 00 00 00 26" + pad(24) + "\n" +
        "    PUID" + pad(12) + "  " + " 50 55 49 44 00 00 00 12" + pad(24) + "\n" +
        "        01:02:03:04:05:0   30 31 3a 30 32 3a 30 33 3a 30 34 3a 30 35 3a 30\n" +
        "        6." + pad(14) + "  " + " 36 00" + pad(42) + "\n" +
        "    CHA." + pad(12) + "  " + " 43 48 41 00 00 00 00 04" + pad(24) + "\n" +
        "        ..A." + pad(12) + "  " + " 00 7f 41 ff" + pad(36) + "\n";
    EXPECT_EQ(dump(msg, chal_container), expected);

    // Without a container rule the envelope's payload is raw rows.
    const std::string raw = dump(msg, nullptr);
    const std::string second_row = "    PUID....01:02:03   50 55 49 44 00 00 00 12 30 31 3a 30 32 3a 30 33\n";
    EXPECT_EQ(raw.substr(0, 16 + 2 + 48 + 1), "CHAL" + pad(12) + "  " + " 43 48 41 4c 00 00 00 26" + pad(24) + "\n");
    EXPECT_EQ(raw.substr(67, second_row.size()), second_row);
    EXPECT_EQ(raw.size(), 67u + 3 * (4 + 16 + 2 + 48 + 1));

    EXPECT_EQ(dump({}, chal_container), "");
}

TEST(TlvDump, StopsAtWhatCannotBeWalkedAndFollowsFurtherMessages)
{
    const bytes msg = element(tlv_stringtype("CHAL"), {element(tlv_stringtype("PUID"), {bytes(18, '0')})});
    const bytes cut(msg.begin(), msg.begin() + 13);  // 5 bytes of PUID's header
    EXPECT_EQ(dump(cut, chal_container), "CHAL" + pad(12) + "  " + " 43 48 41 4c 00 00 00 1a" + pad(24) + "\n" +
                                             "    PUID" + pad(12) + "  " + " 50 55 49 44 00" + pad(33) + "\n");

    bytes two = element(tlv_stringtype("LOOK"), {});
    two.insert(two.end(), two.begin(), two.end());
    const std::string row = "LOOK" + pad(12) + "  " + " 4c 4f 4f 4b 00 00 00 00" + pad(24) + "\n";
    EXPECT_EQ(dump(two, nullptr), row + row);
}

}  // namespace
