// Sockets, interface queries and the raw broadcast path on a real network of
// namespaces: what a peer on the same bridge receives, what the kernel says
// about a known set of links, and how the socket constructors behave.
#include "support/ipconf_device.hpp"
#include "support/lab.hpp"

#include "net/if.hpp"
#include "net/ip.hpp"
#include "net/socket.hpp"
#include "util/owned.hpp"

#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using packet = lab::bytes;

class NetLab : public lab::LabTest {};

const std::string fifteen = "abcdefghijklmno";

using lab::drain_socket;

// Fills in the UDP checksum of an IPv4 packet with a 20-byte header.
void fill_udp_checksum(packet &p)
{
    const uint16_t sum = checksum_udp(p.data(), p.data() + 20);
    p[26] = static_cast<uint8_t>(sum >> 8);
    p[27] = static_cast<uint8_t>(sum);
}

TEST_F(NetLab, BroadcastsReachAPeerOncePerUpLinkAddressedOrNotAndPacketsPassTheCheckOnlyUnchanged)
{
    ASSERT_TRUE(lab->add_host("dev"));
    ASSERT_TRUE(lab->add_host("peer"));
    ASSERT_TRUE(lab->add_link("dev", "lab0", "02:00:00:00:01:01", {"192.0.2.10/24", "192.0.2.11/24"}));
    ASSERT_TRUE(lab->add_link("dev", "lab1", "02:00:00:00:01:02", {"198.51.100.10/24"}));
    ASSERT_TRUE(lab->add_link("dev", "lab2", "02:00:00:00:01:03", {"192.0.2.12/24"}, false));
    ASSERT_TRUE(lab->add_link("dev", "lab3", "02:00:00:00:01:04", {}));
    ASSERT_TRUE(lab->add_link("peer", "lab0", "02:00:00:00:02:01", {"192.0.2.20/24"}));
    const int receiver = lab->open_in("peer", [] { return udp_socket_new(4445, nullptr); });
    const int other_port = lab->open_in("peer", [] { return udp_socket_new(4000, nullptr); });
    const int frames = lab->open_in("peer", [] { return socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP)); });
    ASSERT_TRUE(receiver >= 0 && other_port >= 0);
    ASSERT_EQ(raw_socket_want_status(frames), 0);

    const std::string payload = "LOOK from the device, 31 bytes.";
    {
        auto in = lab->enter("dev");
        const int raw = raw_socket_new(1);
        ASSERT_GE(raw, 0);
        EXPECT_EQ(raw_send_udp_broadcast(raw, 4445, payload.data(), payload.size()), 0);
        close(raw);
    }
    // The kernel took them as UDP: one per up interface, with an address or
    // without (lab3).
    const auto datagrams = drain_socket(receiver);
    ASSERT_EQ(datagrams.size(), 3u);
    for (const auto &[from, data] : datagrams)
        EXPECT_EQ(std::string(data.begin(), data.end()), payload);
    std::multiset<std::string> macs;
    for (const auto &[mac, bytes] : drain_socket(frames)) {
        macs.insert(mac);
        EXPECT_EQ(raw_udp_check(bytes.data(), bytes.size(), 4445), 0);
    }
    EXPECT_EQ(macs, (std::multiset<std::string>{"02:00:00:00:01:01", "02:00:00:00:01:02", "02:00:00:00:01:04"}));

    // udp_send_broadcast keeps one destination and changes only its port.
    const int udp = lab->open_in("dev", [] { return udp_socket_new(0, "lab1"); });
    EXPECT_EQ(udp_send_broadcast(udp, 4000, "first", 5), 0);
    EXPECT_EQ(udp_send_broadcast(udp, 4445, "second", 6), 0);
    const auto only = [](const std::string &text) {
        return std::vector<std::pair<std::string, packet>>{{"", packet(text.begin(), text.end())}};
    };
    EXPECT_EQ(drain_socket(receiver), only("second"));
    EXPECT_EQ(drain_socket(other_port, 50), only("first"));
    (void)drain_socket(frames, 50);

    // A datagram of the kernel's own stack. Offload leaves the UDP checksum
    // of a packet of this host to the link: the kernel says so, and the
    // check accepts it only then.
    const int sender = lab->open_in("dev", [] { return udp_socket_new(5555, nullptr); });
    ASSERT_GE(sender, 0);
    const std::string odd = "odd-length kernel datagram"; // 26 + 1 bytes with the NUL
    const sockaddr_in to{
        .sin_family = AF_INET, .sin_port = htons(4445), .sin_addr = {htonl(0xc0000214)}, .sin_zero = {}}; // 192.0.2.20
    ASSERT_GT(sendto(sender, odd.c_str(), odd.size() + 1, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to), 0);
    packet good(2048);
    uint32_t status = 0;
    const ssize_t got = raw_recv(frames, good.data(), good.size(), &status);
    for (int fd : {receiver, other_port, frames, udp, sender})
        close(fd);
    ASSERT_GT(got, 0);
    good.resize(static_cast<size_t>(got));
    ASSERT_NE(status & TP_STATUS_CSUMNOTREADY, 0u);
    ASSERT_EQ(raw_udp_check_status(good.data(), good.size(), 4445, status), 0);
    fill_udp_checksum(good);
    char address[16];
    EXPECT_EQ(raw_ipv4_get_sender_address(good.data(), address), 0);
    EXPECT_STREQ(address, "192.0.2.10");

    // With its checksum filled in, it is refused after any change.
    ASSERT_EQ(raw_udp_check(good.data(), good.size(), 4445), 0);
    for (size_t i = 0; i < good.size(); ++i)
        for (int delta = 1; delta < 256; ++delta) {
            auto changed = good;
            changed[i] = static_cast<uint8_t>(changed[i] + delta);
            ASSERT_EQ(raw_udp_check(changed.data(), changed.size(), 4445), -1) << "byte " << i << " +" << delta;
        }
    for (size_t length = 0; length < good.size(); ++length)
        ASSERT_EQ(raw_udp_check(good.data(), length, 4445), -1) << length;
    for (uint16_t port : {4444, 4446, 0x5d11})
        EXPECT_EQ(raw_udp_check(good.data(), good.size(), port), -1) << port;
    auto padded = good; // link padding after the datagram is ignored
    padded.resize(good.size() + 6);
    EXPECT_EQ(raw_udp_check(padded.data(), padded.size(), 4445), 0);
    // UDP lengths below 8, with checksums made valid for them.
    for (uint8_t udp_length = 0; udp_length < 8; ++udp_length) {
        auto small = good;
        small[24] = 0;
        small[25] = udp_length;
        fill_udp_checksum(small);
        small.resize(28); // ASan sees reads past what was received
        EXPECT_EQ(raw_udp_check(small.data(), small.size(), 4445), -1) << int{udp_length};
    }
}

// "device:port" of a socket's binding.
std::string bound(int fd)
{
    char device[IFNAMSIZ] = {};
    sockaddr_in address{};
    socklen_t length = sizeof device, size = sizeof address;
    if (getsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device, &length) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        return "?";
    return std::string(device) + ":" + std::to_string(ntohs(address.sin_port));
}

TEST_F(NetLab, InterfaceQueriesAndSocketsWithOnlyLoopbackThenOnAKnownSetOfLinks)
{
    ASSERT_TRUE(lab->add_host("q"));
    auto in = lab->enter("q");
    // Only loopback: a raw broadcast sends nothing, and there is no main
    // interface.
    const int watch = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_ALL));
    const int raw = raw_socket_new(1);
    ASSERT_TRUE(watch >= 0 && raw >= 0);
    EXPECT_EQ(raw_send_udp_broadcast(raw, 4445, "x", 1), 0);
    pollfd pfd{watch, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 300), 0) << "a frame was sent";
    close(raw);
    char name[16] = "junk";
    EXPECT_EQ(if_main_get(name), -1);
    EXPECT_EQ(if_device_mac_get(owned_fd(if_new()).get(), name), -1) << "loopback names no device";
    close(watch);

    ASSERT_TRUE(lab->add_link("q", "e0", "02:0a:1b:2c:3d:4e", {"192.0.2.1/24", "198.51.100.1/25"}));
    ASSERT_TRUE(lab->add_link("q", "e1", "02:00:00:00:00:e1", {"192.0.2.2/24"}, false));
    ASSERT_TRUE(lab->add_link("q", fifteen, "02:00:00:00:00:0f", {"192.0.2.15/24"}));
    ASSERT_TRUE(lab->add_link("q", "e3", "02:00:00:00:00:e3", {}));
    const int fd = if_new();
    ASSERT_GE(fd, 0);

    ifconf list{};
    ASSERT_EQ(if_list_get(fd, &list), 0);
    std::vector<std::string> names;
    for (int n = 1; n <= if_list_count_get(&list); ++n)
        names.emplace_back(if_name_get(&list, n));
    EXPECT_EQ(names, (std::vector<std::string>{"lo", "e0", "e0", "e1", fifteen}));
    EXPECT_EQ(std::vector<int>(
                  {if_is_up(fd, &list, 1), if_is_up(fd, &list, 2), if_is_up(fd, &list, 4), if_is_up(fd, &list, 5)}),
              std::vector<int>({0, 1, 0, 1}))
        << "loopback, up, down, up";
    EXPECT_EQ(if_first_up_get(fd, &list, name), 0);
    EXPECT_STREQ(name, "e0");
    std::free(list.ifc_buf);

    // e0 down: the next up one; all down: the first that is not loopback.
    // The device's MAC is chosen among every link: e3 has no address.
    char chosen_mac[18];
    for (const auto &[link, first, device_mac] :
         {std::tuple<std::string, std::string, std::string>{"e0", fifteen, "02:00:00:00:00:0F"},
          {fifteen, "e0", "02:00:00:00:00:E3"},
          {"e3", "e0", "02:0A:1B:2C:3D:4E"}}) {
        ASSERT_TRUE(lab->set_up("q", link, false));
        ASSERT_EQ(if_list_get(fd, &list), 0);
        EXPECT_EQ(if_first_up_get(fd, &list, name), 0);
        EXPECT_EQ(std::string(name), first);
        std::free(list.ifc_buf);
        EXPECT_EQ(if_device_mac_get(fd, chosen_mac), 0);
        EXPECT_EQ(std::string(chosen_mac), device_mac) << link << " down";
    }
    EXPECT_EQ(if_main_get(name), 0);
    EXPECT_STREQ(name, "e0");

    // Six addresses fill the first buffer exactly, twelve the doubled one:
    // the list grows and loses none.
    for (int count = 5; count < 12; ++count) {
        ASSERT_TRUE(lab->ip("q", {"addr", "add", "198.51.100." + std::to_string(200 + count) + "/32", "dev", "e3"}));
        if (count + 1 != 6 && count + 1 != 12)
            continue;
        ASSERT_EQ(if_list_get(fd, &list), 0);
        EXPECT_EQ(if_list_count_get(&list), count + 1);
        EXPECT_STREQ(if_name_get(&list, count + 1), "e3");
        std::free(list.ifc_buf);
    }

    char address[46], netmask[46], mac[18];
    uint16_t flags = 0;
    ASSERT_TRUE(lab->set_up("q", "e0", true));
    EXPECT_EQ(if_all_get(fd, "e0", address, netmask, mac, &flags), 0);
    EXPECT_EQ(std::string(address) + " " + netmask + " " + mac, "192.0.2.1 255.255.255.0 02:0A:1B:2C:3D:4E");
    EXPECT_TRUE(flags & IFF_UP);
    EXPECT_EQ(if_mac_get(fd, fifteen.c_str(), mac), 0) << "15 characters are a name";
    EXPECT_STREQ(mac, "02:00:00:00:00:0F");

    // Without an IPv4 address: both texts empty, the MAC still read.
    ASSERT_TRUE(lab->ip("q", {"addr", "flush", "dev", "e3"}));
    CaptureStderr();
    EXPECT_EQ(if_all_get(fd, "e3", address, netmask, mac, &flags), -1);
    EXPECT_NE(GetCapturedStderr().find("SIOCGIFADDR failed: "), std::string::npos);
    EXPECT_EQ(std::string(address) + netmask + mac, "02:00:00:00:00:E3");

    std::strcpy(address, "untouched");
    CaptureStderr();
    EXPECT_EQ(if_all_get(fd, (fifteen + "p").c_str(), address, netmask, mac, &flags), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(GetCapturedStderr().rfind("interface request failed: ", 0), 0u);
    EXPECT_STREQ(address, "untouched");
    close(fd);

    // Sockets bound to the device and the port (that they may broadcast shows
    // in the first scenario).
    const int udp = udp_socket_new(4445, "e0");
    EXPECT_EQ(bound(udp), "e0:4445");
    CaptureStderr();
    const std::tuple<int, int, const char *> refusals[] = {
        {udp_socket_new(4445, "e0"), EADDRINUSE, "bind to port failed: "},
        {udp_socket_new(0, (fifteen + "p").c_str()), ENAMETOOLONG, "bind to device failed: "},
        {tcp_socket_new(4446, "nosuch0"), ENODEV, "bind to device failed: "},
    };
    const std::string printed = GetCapturedStderr();
    for (const auto &[refused, error, text] : refusals) {
        EXPECT_EQ(refused, -1) << text;
        EXPECT_NE(printed.find(text + std::string(std::strerror(error))), std::string::npos) << printed;
    }
    const int any_port = udp_socket_new(0, fifteen.c_str());
    EXPECT_EQ(bound(any_port), fifteen + ":0");
    const int tcp = tcp_socket_new(4445, "e0");
    EXPECT_EQ(bound(tcp), "e0:4445") << "a TCP port beside the UDP one";
    for (int each : {udp, any_port, tcp})
        close(each);
}

} // namespace
