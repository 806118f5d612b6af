// The IPv4/UDP broadcast packet: its header bytes, both checksums and every
// refusal of raw_udp_check. Packets from the kernel's own stack are checked in
// the lab (tests/lab/net_test.cpp).
#include "net/ip.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> build(const std::string &payload, uint16_t port = 4445)
{
    std::vector<uint8_t> packet(raw_udp_header_size + payload.size());
    std::memcpy(packet.data() + raw_udp_header_size, payload.data(), payload.size());
    raw_udp_set_broadcast_header(packet.data(), port, payload.size());
    return packet;
}

TEST(BroadcastPacket, TenBytePayloadGivesTheDocumentedHeader)
{
    auto packet = build("0123456789");
    ASSERT_EQ(packet.size(), 38u);
    const std::vector<uint8_t> head(packet.begin(), packet.begin() + 28);
    // Checksums worked out by hand: 0x4500 + 0x0026 + 0x2111 + 2 * 0xffff folds to 0x6637.
    const std::vector<uint8_t> expected = {0x45, 0, 0, 38, 0, 0, 0, 0, 33, 17, 0x99, 0xc8, 0, 0, 0, 0,
                                           0xff, 0xff, 0xff, 0xff, 0, 0, 0x11, 0x5d, 0, 18, head[26], head[27]};
    EXPECT_EQ(head, expected);
    EXPECT_EQ(raw_udp_check(packet.data(), packet.size(), 4445), 0);
    EXPECT_EQ(raw_udp_get_data_size(packet.data()), 10u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(raw_udp_get_data(packet.data())), 10), "0123456789");
    char sender[16];
    EXPECT_EQ(raw_ipv4_get_sender_address(packet.data(), sender), 0);
    EXPECT_STREQ(sender, "0.0.0.0");
    // The checksums leave the packet as it was and verify to the stored values.
    EXPECT_EQ(checksum_ip(packet.data()), (packet[10] << 8) | packet[11]);
    EXPECT_EQ(checksum_udp(packet.data(), packet.data() + 20), (packet[26] << 8) | packet[27]);
}

TEST(BroadcastPacket, UdpChecksumMatchesAnIndependentSum)
{
    // Odd payload: the last byte counts as its value * 256.
    auto packet = build("abc", 0x1234);
    uint32_t sum = 0xFFFF + 0xFFFF + 17 + 11;             // pseudo-header: addresses, protocol, length
    sum += 0 + 0x1234 + 11 + 0;                           // UDP header, checksum as 0
    sum += ('a' << 8 | 'b') + ('c' << 8);                 // payload
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    EXPECT_EQ((packet[26] << 8) | packet[27], static_cast<uint16_t>(~sum));
}

TEST(BroadcastPacket, ZeroChecksumIsSentAndAcceptedAsAllOnes)
{
    // Search the two-byte payload whose UDP checksum computes to 0.
    bool found = false;
    for (uint32_t value = 0; value <= 0xFFFF && !found; ++value) {
        std::string payload{static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
        auto packet = build(payload);
        if (packet[26] == 0xFF && packet[27] == 0xFF) {
            found = true;
            EXPECT_EQ(raw_udp_check(packet.data(), packet.size(), 4445), 0);
            packet[26] = packet[27] = 0;
            EXPECT_EQ(raw_udp_check(packet.data(), packet.size(), 4445), -1) << "a zero field means no checksum";
        }
    }
    EXPECT_TRUE(found);
}

TEST(RawUdpCheck, RefusesEverySingleByteChangeWrongPortsAndShortLengths)
{
    auto packet = build("hello, device");
    ASSERT_EQ(raw_udp_check(packet.data(), packet.size(), 4445), 0);
    for (size_t i = 0; i < packet.size(); ++i)
        for (int delta = 1; delta < 256; ++delta) {
            auto changed = packet;
            changed[i] = static_cast<uint8_t>(changed[i] + delta);
            ASSERT_EQ(raw_udp_check(changed.data(), changed.size(), 4445), -1) << "byte " << i << " +" << delta;
        }
    for (uint16_t port : {0, 4444, 4446, 0x5d11, 65535})
        EXPECT_EQ(raw_udp_check(packet.data(), packet.size(), port), -1) << port;
    for (size_t length = 0; length < packet.size(); ++length)
        EXPECT_EQ(raw_udp_check(packet.data(), length, 4445), -1) << length;
    // Extra bytes after the datagram (link padding) are ignored.
    auto padded = packet;
    padded.resize(packet.size() + 6, 0);
    EXPECT_EQ(raw_udp_check(padded.data(), padded.size(), 4445), 0);
}

TEST(RawUdpCheck, RefusesBeforeReadingPastTheReceivedBytes)
{
    auto packet = build("x");
    auto tcp = packet;
    tcp[9] = 6;
    EXPECT_EQ(raw_udp_check(tcp.data(), tcp.size(), 4445), -1);

    // Exactly 19 and 20 bytes in a buffer of their own size: ASan catches any
    // read beyond them.
    std::vector<uint8_t> nineteen(packet.begin(), packet.begin() + 19);
    EXPECT_EQ(raw_udp_check(nineteen.data(), nineteen.size(), 4445), -1);
    std::vector<uint8_t> twenty(packet.begin(), packet.begin() + 20);
    EXPECT_EQ(raw_udp_check(twenty.data(), twenty.size(), 4445), -1);

    // A header length of 60 with only 24 bytes received.
    std::vector<uint8_t> long_header(packet.begin(), packet.begin() + 24);
    long_header[0] = 0x4F;
    EXPECT_EQ(raw_udp_check(long_header.data(), long_header.size(), 4445), -1);

    // UDP lengths below 8 (with checksums made valid for them) are refused,
    // so the payload pointer never lies past the datagram.
    for (uint16_t udp_length = 0; udp_length < 8; ++udp_length) {
        std::vector<uint8_t> small(packet.begin(), packet.begin() + 28);
        small[24] = 0;
        small[25] = static_cast<uint8_t>(udp_length);
        uint16_t sum = checksum_udp(small.data(), small.data() + 20);
        small[26] = static_cast<uint8_t>(sum >> 8);
        small[27] = static_cast<uint8_t>(sum);
        EXPECT_EQ(raw_udp_check(small.data(), small.size(), 4445), -1) << udp_length;
    }
}

} // namespace
