// Sockets, interface queries and the raw broadcast path on a real network of
// namespaces: what a peer on the same bridge receives, what the kernel says
// about a known set of links, and how the socket constructors behave.
#include "support/lab.hpp"

#include "net/address.hpp"
#include "net/if.hpp"
#include "net/ip.hpp"
#include "net/socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

// Counts the interface ioctls the code under test makes, while enabled.
namespace {
bool counting = false;
std::map<unsigned long, int> ioctl_calls;
int counted_total()
{
    int total = 0;
    for (const auto &[request, count] : ioctl_calls)
        total += count;
    return total;
}
struct ioctl_counter {
    ioctl_counter()
    {
        ioctl_calls.clear();
        counting = true;
    }
    ~ioctl_counter() { counting = false; }
};
} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (counting)
        ++ioctl_calls[request];
    return static_cast<int>(syscall(SYS_ioctl, fd, request, argument));
}

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class NetLab : public lab::LabTest {};

int open_descriptors()
{
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1)
            ++count;
    return count;
}

// Datagrams (payload, sender text) read until nothing arrives for quiet_ms.
std::vector<std::pair<std::string, std::string>> drain_udp(int fd, int quiet_ms = 400)
{
    std::vector<std::pair<std::string, std::string>> got;
    pollfd pfd{fd, POLLIN, 0};
    for (int rounds = 0; rounds < 64 && poll(&pfd, 1, quiet_ms) == 1; ++rounds) {
        char buffer[2048];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 0)
            break;
        char text[16];
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        got.emplace_back(std::string(buffer, static_cast<size_t>(n)),
                         std::string(text) + ":" + std::to_string(ntohs(from.sin_port)));
    }
    return got;
}

// IPv4 packets from a cooked packet socket, each with the sender's MAC text.
std::vector<std::pair<std::vector<uint8_t>, std::string>> drain_packets(int fd, int quiet_ms = 400)
{
    std::vector<std::pair<std::vector<uint8_t>, std::string>> got;
    pollfd pfd{fd, POLLIN, 0};
    for (int rounds = 0; rounds < 64 && poll(&pfd, 1, quiet_ms) == 1; ++rounds) {
        uint8_t buffer[2048];
        sockaddr_ll from{};
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 0)
            break;
        if (from.sll_pkttype == PACKET_OUTGOING)
            continue;
        char mac[18];
        std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", from.sll_addr[0], from.sll_addr[1],
                      from.sll_addr[2], from.sll_addr[3], from.sll_addr[4], from.sll_addr[5]);
        got.emplace_back(std::vector<uint8_t>(buffer, buffer + n), mac);
    }
    return got;
}

int plain_udp_receiver(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int plain_packet_socket(uint16_t protocol)
{
    return socket(AF_PACKET, SOCK_DGRAM, htons(protocol));
}

void expect_every_byte_change_refused(const std::vector<uint8_t> &packet, uint16_t port)
{
    ASSERT_EQ(raw_udp_check(packet.data(), packet.size(), port), 0);
    for (size_t i = 0; i < packet.size(); ++i)
        for (int delta = 1; delta < 256; ++delta) {
            auto changed = packet;
            changed[i] = static_cast<uint8_t>(changed[i] + delta);
            ASSERT_EQ(raw_udp_check(changed.data(), changed.size(), port), -1) << "byte " << i << " +" << delta;
        }
    for (size_t length = 0; length < packet.size(); ++length)
        ASSERT_EQ(raw_udp_check(packet.data(), length, port), -1) << length;
    EXPECT_EQ(raw_udp_check(packet.data(), packet.size(), static_cast<uint16_t>(port + 1)), -1);
}

TEST_F(NetLab, RawBroadcastReachesAPeerOncePerUpInterfaceWithAnAddress)
{
    ASSERT_TRUE(lab->add_host("dev"));
    ASSERT_TRUE(lab->add_host("peer"));
    ASSERT_TRUE(lab->add_link("dev", "lab0", "02:00:00:00:01:01", {"192.0.2.10/24", "192.0.2.11/24"}));
    ASSERT_TRUE(lab->add_link("dev", "lab1", "02:00:00:00:01:02", {"198.51.100.10/24"}));
    ASSERT_TRUE(lab->add_link("dev", "lab2", "02:00:00:00:01:03", {"192.0.2.12/24"}, false));
    ASSERT_TRUE(lab->add_link("dev", "lab3", "02:00:00:00:01:04", {}));
    ASSERT_TRUE(lab->add_link("peer", "lab0", "02:00:00:00:02:01", {"192.0.2.20/24"}));

    int receiver = -1, other_port = -1, frames = -1;
    {
        auto in = lab->enter("peer");
        ASSERT_TRUE(in.ok());
        receiver = plain_udp_receiver(4445);
        other_port = plain_udp_receiver(4000);
        frames = plain_packet_socket(ETH_P_IP);
    }
    ASSERT_GE(receiver, 0);
    ASSERT_GE(other_port, 0);
    ASSERT_GE(frames, 0);

    const std::string payload = "LOOK from the device, 31 bytes.";
    {
        auto in = lab->enter("dev");
        int raw = raw_socket_new(1);
        ASSERT_GE(raw, 0);
        EXPECT_EQ(raw_send_udp_broadcast(raw, 4445, payload.data(), payload.size()), 0);
        close(raw);
    }
    auto datagrams = drain_udp(receiver);
    ASSERT_EQ(datagrams.size(), 2u) << "one per up interface with an IPv4 address (lab0, lab1)";
    for (const auto &[data, sender] : datagrams) {
        EXPECT_EQ(data, payload);
        EXPECT_EQ(sender, "0.0.0.0:0");
    }
    std::multiset<std::string> macs;
    for (const auto &[packet, mac] : drain_packets(frames)) {
        if (packet.size() < 20 || packet[9] != 17)
            continue; // the kernel's own IGMP and the like
        macs.insert(mac);
        EXPECT_EQ(raw_udp_check(packet.data(), packet.size(), 4445), 0);
    }
    EXPECT_EQ(macs, (std::multiset<std::string>{"02:00:00:00:01:01", "02:00:00:00:01:02"}));

    // The receiver's kernel checks the UDP checksum: a packet with a wrong one
    // is dropped, the good one after it arrives.
    {
        auto in = lab->enter("dev");
        int raw = raw_socket_new(1);
        ASSERT_GE(raw, 0);
        std::vector<uint8_t> packet(raw_udp_header_size + 4);
        std::memcpy(packet.data() + raw_udp_header_size, "good", 4);
        raw_udp_set_broadcast_header(packet.data(), 4445, 4);
        auto bad = packet;
        std::memcpy(bad.data() + raw_udp_header_size, "evil", 4);
        const int index = static_cast<int>(if_nametoindex("lab0"));
        EXPECT_EQ(raw_send(raw, index, nullptr, bad.data(), bad.size()), 0);
        EXPECT_EQ(raw_send(raw, index, nullptr, packet.data(), packet.size()), 0);
        close(raw);
    }
    datagrams = drain_udp(receiver);
    ASSERT_EQ(datagrams.size(), 1u);
    EXPECT_EQ(datagrams[0].first, "good");
    (void)drain_packets(frames, 50);

    // udp_send_broadcast keeps one destination and changes only its port.
    {
        auto in = lab->enter("dev");
        int udp = udp_socket_new(0, "lab1");
        ASSERT_GE(udp, 0);
        EXPECT_EQ(udp_send_broadcast(udp, 4000, "first", 5), 0);
        EXPECT_EQ(udp_send_broadcast(udp, 4445, "second", 6), 0);
        close(udp);
    }
    datagrams = drain_udp(receiver);
    ASSERT_EQ(datagrams.size(), 1u);
    EXPECT_EQ(datagrams[0].first, "second");
    EXPECT_EQ(datagrams[0].second.substr(0, 14), "198.51.100.10:");
    datagrams = drain_udp(other_port, 50);
    ASSERT_EQ(datagrams.size(), 1u);
    EXPECT_EQ(datagrams[0].first, "first");
    close(receiver);
    close(other_port);
    close(frames);
}

TEST_F(NetLab, RawBroadcastWithOnlyLoopbackSendsNothing)
{
    ASSERT_TRUE(lab->add_host("alone"));
    auto in = lab->enter("alone");
    ASSERT_TRUE(in.ok());
    int watch = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_ALL));
    ASSERT_GE(watch, 0);
    int raw = raw_socket_new(1);
    ASSERT_GE(raw, 0);
    EXPECT_EQ(raw_send_udp_broadcast(raw, 4445, "x", 1), 0);
    pollfd pfd{watch, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 300), 0) << "a frame was sent";
    close(raw);
    close(watch);
}

TEST_F(NetLab, PacketFromTheKernelsUdpStackPassesTheCheck)
{
    ASSERT_TRUE(lab->add_host("dev"));
    ASSERT_TRUE(lab->add_host("peer"));
    ASSERT_TRUE(lab->add_link("dev", "lab0", "02:00:00:00:01:01", {"192.0.2.10/24"}));
    ASSERT_TRUE(lab->add_link("peer", "lab0", "02:00:00:00:02:01", {"192.0.2.20/24"}));
    int capture = -1;
    {
        auto in = lab->enter("peer");
        capture = plain_packet_socket(ETH_P_IP);
    }
    ASSERT_GE(capture, 0);
    const std::string payload = "odd-length kernel datagram"; // 26 + 1 bytes with the NUL
    auto sent = lab->run_in("dev", [&payload](std::string &output) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_port = htons(5555);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(4445);
        inet_pton(AF_INET, "192.0.2.20", &to.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
            sendto(fd, payload.c_str(), payload.size() + 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0)
            output = std::strerror(errno);
        close(fd);
        return output.empty() ? 0 : 1;
    });
    ASSERT_EQ(sent.status, 0) << sent.output;
    auto packets = drain_packets(capture);
    close(capture);
    ASSERT_EQ(packets.size(), 1u);
    const auto &packet = packets[0].first;
    ASSERT_EQ(raw_udp_check(packet.data(), packet.size(), 4445), 0);
    ASSERT_EQ(raw_udp_get_data_size(packet.data()), payload.size() + 1);
    EXPECT_STREQ(reinterpret_cast<const char *>(raw_udp_get_data(packet.data())), payload.c_str());
    char sender[16];
    EXPECT_EQ(raw_ipv4_get_sender_address(packet.data(), sender), 0);
    EXPECT_STREQ(sender, "192.0.2.10");
    expect_every_byte_change_refused(packet, 4445);

    // Our own broadcast packet, for the same checks.
    std::vector<uint8_t> built(raw_udp_header_size + payload.size());
    std::memcpy(built.data() + raw_udp_header_size, payload.data(), payload.size());
    raw_udp_set_broadcast_header(built.data(), 4445, payload.size());
    expect_every_byte_change_refused(built, 4445);
}

std::vector<std::string> list_names(const ifconf &list)
{
    std::vector<std::string> names;
    for (int n = 1; n <= if_list_count_get(&list); ++n)
        names.emplace_back(if_name_get(&list, n));
    return names;
}

TEST_F(NetLab, InterfaceQueriesOnAKnownSetOfLinks)
{
    const std::string fifteen = "abcdefghijklmno";
    ASSERT_TRUE(lab->add_host("q"));
    ASSERT_TRUE(lab->add_link("q", "e0", "02:0a:1b:2c:3d:4e", {"192.0.2.1/24", "198.51.100.1/25"}));
    ASSERT_TRUE(lab->add_link("q", "e1", "02:00:00:00:00:e1", {"192.0.2.2/24"}, false));
    ASSERT_TRUE(lab->add_link("q", fifteen, "02:00:00:00:00:0f", {"192.0.2.15/24"}));
    ASSERT_TRUE(lab->add_link("q", "e3", "02:00:00:00:00:e3", {}));
    auto in = lab->enter("q");
    ASSERT_TRUE(in.ok());
    int fd = if_new();
    ASSERT_GE(fd, 0);

    // Five addresses (lo has one): one SIOCGIFCONF call.
    ifconf list{};
    {
        ioctl_counter counter;
        ASSERT_EQ(if_list_get(fd, &list), 0);
        EXPECT_EQ(ioctl_calls[SIOCGIFCONF], 1);
    }
    EXPECT_EQ(list.ifc_len, 200);
    EXPECT_EQ(list_names(list), (std::vector<std::string>{"lo", "e0", "e0", "e1", fifteen}));
    EXPECT_EQ(if_is_up(fd, &list, 1), 0) << "loopback";
    EXPECT_EQ(if_is_up(fd, &list, 2), 1);
    EXPECT_EQ(if_is_up(fd, &list, 4), 0) << "down";
    EXPECT_EQ(if_is_up(fd, &list, 5), 1);
    char name[16] = "junk";
    EXPECT_EQ(if_first_up_get(fd, &list, name), 0);
    EXPECT_STREQ(name, "e0");
    std::free(list.ifc_buf);

    // e0 and e1 down: the first up one; all down: the first non-loopback one.
    ASSERT_TRUE(lab->set_up("q", "e0", false));
    ASSERT_EQ(if_list_get(fd, &list), 0);
    EXPECT_EQ(if_first_up_get(fd, &list, name), 0);
    EXPECT_EQ(std::string(name), fifteen);
    std::free(list.ifc_buf);
    ASSERT_TRUE(lab->set_up("q", fifteen, false));
    ASSERT_EQ(if_list_get(fd, &list), 0);
    EXPECT_EQ(if_first_up_get(fd, &list, name), 0);
    EXPECT_STREQ(name, "e0");
    std::free(list.ifc_buf);
    EXPECT_EQ(if_main_get(name), 0);
    EXPECT_STREQ(name, "e0");

    // Six addresses fill 240 bytes exactly: a second call with 480; seven
    // fit in it; twelve fill it and take a third.
    const std::vector<std::pair<int, int>> growth = {{6, 2}, {7, 2}, {12, 3}};
    int addresses = 5;
    for (const auto &[wanted, calls] : growth) {
        while (addresses < wanted)
            ASSERT_TRUE(lab->add_address("q", "e3", "198.51.100." + std::to_string(200 + addresses++) + "/32"));
        ioctl_counter counter;
        ASSERT_EQ(if_list_get(fd, &list), 0);
        EXPECT_EQ(ioctl_calls[SIOCGIFCONF], calls) << wanted << " addresses";
        EXPECT_EQ(if_list_count_get(&list), wanted);
        EXPECT_STREQ(if_name_get(&list, wanted), "e3");
        std::free(list.ifc_buf);
    }

    // Per-name queries and their texts.
    char address[46], netmask[46], mac[18];
    uint16_t flags = 0;
    ASSERT_TRUE(lab->set_up("q", "e0", true));
    EXPECT_EQ(if_all_get(fd, "e0", address, netmask, mac, &flags), 0);
    EXPECT_STREQ(address, "192.0.2.1");
    EXPECT_STREQ(netmask, "255.255.255.0");
    EXPECT_STREQ(mac, "02:0A:1B:2C:3D:4E");
    EXPECT_TRUE(flags & IFF_UP);
    EXPECT_EQ(if_flags_get(fd, "lo", &flags), 0);
    EXPECT_TRUE(flags & IFF_LOOPBACK);
    EXPECT_EQ(if_mac_get(fd, fifteen.c_str(), mac), 0) << "15 characters are a name";
    EXPECT_STREQ(mac, "02:00:00:00:00:0F");

    {
        ioctl_counter counter;
        EXPECT_EQ(if_all_get(fd, "e0", nullptr, nullptr, nullptr, &flags), 0);
        EXPECT_EQ(counted_total(), 1);
    }
    // A link without any IPv4 address: the address and netmask stay empty,
    // the MAC is still read.
    ASSERT_TRUE(lab->ip("q", {"addr", "flush", "dev", "e3"}));
    std::strcpy(address, "old");
    std::strcpy(netmask, "old");
    CaptureStderr();
    EXPECT_EQ(if_all_get(fd, "e3", address, netmask, mac, &flags), -1);
    std::string printed = GetCapturedStderr();
    EXPECT_STREQ(address, "");
    EXPECT_STREQ(netmask, "");
    EXPECT_STREQ(mac, "02:00:00:00:00:E3") << "later queries are still made";
    EXPECT_NE(printed.find("SIOCGIFADDR failed: "), std::string::npos) << printed;
    EXPECT_NE(printed.find("SIOCGIFNETMASK failed: "), std::string::npos) << printed;

    const std::string sixteen = fifteen + "p";
    {
        ioctl_counter counter;
        std::strcpy(address, "untouched");
        CaptureStderr();
        EXPECT_EQ(if_all_get(fd, sixteen.c_str(), address, netmask, mac, &flags), -1);
        EXPECT_EQ(errno, ENAMETOOLONG);
        EXPECT_EQ(GetCapturedStderr().rfind("interface request failed: ", 0), 0u);
        EXPECT_STREQ(address, "untouched");
        CaptureStderr();
        EXPECT_EQ(if_mac_get(fd, sixteen.c_str(), mac), -1);
        EXPECT_EQ(errno, ENAMETOOLONG);
        (void)GetCapturedStderr();
        EXPECT_EQ(counted_total(), 0) << "no ioctl for a name that cannot fit";
    }
    CaptureStderr();
    EXPECT_EQ(if_flags_get(fd, "nosuch0", &flags), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(GetCapturedStderr().rfind("SIOCGIFFLAGS failed: ", 0), 0u);
    close(fd);
}

TEST_F(NetLab, OnlyLoopbackGivesNoMainInterface)
{
    ASSERT_TRUE(lab->add_host("alone"));
    auto in = lab->enter("alone");
    int fd = if_new();
    ASSERT_GE(fd, 0);
    ifconf list{};
    ASSERT_EQ(if_list_get(fd, &list), 0);
    EXPECT_EQ(if_list_count_get(&list), 1);
    char name[16] = "junk";
    EXPECT_EQ(if_first_up_get(fd, &list, name), 0);
    EXPECT_STREQ(name, "");
    std::free(list.ifc_buf);
    close(fd);
    EXPECT_EQ(if_main_get(name), -1);
}

std::string bound_device(int fd)
{
    char device[IFNAMSIZ] = {};
    socklen_t length = sizeof device;
    if (getsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device, &length) != 0)
        return "?";
    return device;
}

int bound_port(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return -1;
    return ntohs(reinterpret_cast<sockaddr_in *>(&address)->sin_port);
}

int option(int fd, int name)
{
    int value = -1;
    socklen_t length = sizeof value;
    getsockopt(fd, SOL_SOCKET, name, &value, &length);
    return value;
}

TEST_F(NetLab, SocketsBindToDeviceAndPortAndRefuseWhatCannotBe)
{
    const std::string fifteen = "abcdefghijklmno";
    ASSERT_TRUE(lab->add_host("s"));
    ASSERT_TRUE(lab->add_link("s", "lab0", "02:00:00:00:05:01", {"192.0.2.5/24"}));
    ASSERT_TRUE(lab->add_link("s", fifteen, "02:00:00:00:05:02", {}));
    auto in = lab->enter("s");
    ASSERT_TRUE(in.ok());

    int udp = udp_socket_new(4445, "lab0");
    ASSERT_GE(udp, 0);
    EXPECT_EQ(bound_device(udp), "lab0");
    EXPECT_EQ(bound_port(udp), 4445);
    EXPECT_EQ(option(udp, SO_TYPE), SOCK_DGRAM);
    EXPECT_EQ(option(udp, SO_BROADCAST), 1);
    EXPECT_EQ(option(udp, SO_REUSEADDR), 0);

    const int before = open_descriptors();
    CaptureStderr();
    EXPECT_EQ(udp_socket_new(4445, "lab0"), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_EQ(GetCapturedStderr().rfind("bind to port failed: ", 0), 0u);
    CaptureStderr();
    EXPECT_EQ(udp_socket_new(4445, nullptr), -1) << "the wildcard overlaps the device-bound socket";
    (void)GetCapturedStderr();
    CaptureStderr();
    EXPECT_EQ(udp_socket_new(0, (fifteen + "p").c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(GetCapturedStderr().rfind("bind to device failed: ", 0), 0u);
    CaptureStderr();
    EXPECT_EQ(tcp_socket_new(4446, "nosuch0"), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(GetCapturedStderr().rfind("bind to device failed: ", 0), 0u);
    EXPECT_EQ(open_descriptors(), before) << "a failed call left a descriptor open";

    int unbound = udp_socket_new(0, fifteen.c_str());
    ASSERT_GE(unbound, 0);
    EXPECT_EQ(bound_port(unbound), 0);
    EXPECT_EQ(bound_device(unbound), fifteen);
    int plain = udp_socket_new(0, nullptr);
    ASSERT_GE(plain, 0);
    EXPECT_EQ(bound_device(plain), "");

    // The datagram socket on the port receives what arrives on its device.
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(4445);
    inet_pton(AF_INET, "192.0.2.5", &to.sin_addr);
    ASSERT_EQ(sendto(plain, "hi", 2, 0, reinterpret_cast<sockaddr *>(&to), sizeof to), 2);

    int tcp = tcp_socket_new(4445, "lab0");
    ASSERT_GE(tcp, 0);
    EXPECT_EQ(option(tcp, SO_TYPE), SOCK_STREAM);
    EXPECT_EQ(bound_port(tcp), 4445);
    EXPECT_EQ(listen(tcp, 3), 0) << "left for the caller";

    for (int cooked : {1, 0}) {
        int raw = raw_socket_new(cooked);
        ASSERT_GE(raw, 0);
        EXPECT_EQ(option(raw, SO_DOMAIN), AF_PACKET);
        EXPECT_EQ(option(raw, SO_TYPE), cooked ? SOCK_DGRAM : SOCK_RAW);
        close(raw);
    }
    for (int fd : {udp, unbound, plain, tcp})
        close(fd);
}

} // namespace
