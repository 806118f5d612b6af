// The IPv4/UDP broadcast packet: its header bytes and both checksums against
// an independent computation. What raw_udp_check refuses is checked on a
// packet of the kernel's own stack in the lab (tests/lab/net_test.cpp).
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

bool accepted(std::vector<uint8_t> packet, size_t length, uint16_t port = 4445)
{
    packet.resize(length); // a buffer of exactly that size: ASan sees reads past it
    return raw_udp_check(packet.data(), length, port) == 0;
}

TEST(BroadcastPacket, HeaderAndChecksumsMatchAnIndependentComputation)
{
    auto packet = build("abc", 0x1234);
    // IP checksum by hand: 0x4500 + 31 + 0x2111 + 2 * 0xffff folds to 0x6630.
    const std::vector<uint8_t> head = {0x45, 0, 0, 31,   0,    0,    0,    0, 33, 17,   0x99, 0xcf, 0,
                                       0,    0, 0, 0xff, 0xff, 0xff, 0xff, 0, 0,  0x12, 0x34, 0,    11};
    EXPECT_EQ(std::vector<uint8_t>(packet.begin(), packet.begin() + 26), head);
    // UDP: pseudo-header, header with checksum 0, odd payload (last byte * 256).
    uint32_t sum = 0xFFFF + 0xFFFF + 17 + 11 + 0x1234 + 11 + ('a' << 8 | 'b') + ('c' << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    EXPECT_EQ((packet[26] << 8) | packet[27], static_cast<uint16_t>(~sum));
    ASSERT_TRUE(accepted(packet, packet.size(), 0x1234));
    EXPECT_EQ(raw_udp_get_data_size(packet.data()), 3u);
    EXPECT_EQ(std::memcmp(raw_udp_get_data(packet.data()), "abc", 3), 0);
    char sender[16];
    EXPECT_EQ(raw_ipv4_get_sender_address(packet.data(), sender), 0);
    EXPECT_STREQ(sender, "0.0.0.0");

    // The payload whose UDP checksum computes to 0 is sent with all ones.
    // Three more bytes add 6 (the UDP length counts twice); the last word cancels the rest.
    const uint32_t grown = sum + 6;
    const auto zero_sum = static_cast<uint16_t>(~((grown & 0xFFFF) + (grown >> 16)));
    auto zero = build({'a', 'b', 'c', 0, static_cast<char>(zero_sum >> 8), static_cast<char>(zero_sum)}, 0x1234);
    EXPECT_EQ((zero[26] << 8) | zero[27], 0xFFFF);
    EXPECT_TRUE(accepted(zero, zero.size(), 0x1234));
    zero[26] = zero[27] = 0;
    EXPECT_FALSE(accepted(zero, zero.size(), 0x1234)) << "a zero field means no checksum";

    // A header length of 3 words puts "UDP" inside the addresses, to port
    // 4445: refused whatever its checksum.
    auto short_header = build("hello, device");
    short_header[0] = 0x43;
    short_header[14] = 0x11;
    short_header[15] = 0x5D;
    short_header[17] = static_cast<uint8_t>(short_header.size() - 12);
    const uint16_t ip_sum = checksum_ip(short_header.data());
    short_header[10] = static_cast<uint8_t>(ip_sum >> 8);
    short_header[11] = static_cast<uint8_t>(ip_sum);
    int taken = 0;
    for (int value = 0; value < 0x10000; ++value) {
        short_header[18] = static_cast<uint8_t>(value >> 8);
        short_header[19] = static_cast<uint8_t>(value);
        taken += accepted(short_header, short_header.size()) ? 1 : 0;
    }
    EXPECT_EQ(taken, 0);
}

} // namespace
