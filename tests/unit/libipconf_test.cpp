// The browse client in a network namespace of its own (a veth pair and
// loopback, nothing else): INFO replies queued on the browse socket, the LOOK
// arriving at the far end of the link.
#include "ipconf/ipconf_msg.hpp"
#include "ipconf/libipconf.hpp"
#include "net/socket.hpp"
#include "util/tlv_ez.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool private_network()
{
    static int state = 0;  // 0 not tried, 1 ready, -1 unavailable
    if (state == 0) {
        state = -1;
        if (unshare(CLONE_NEWNET) == 0 &&
            std::system("ip link set lo up && ip link add d0 type veth peer name d1 && ip addr add 192.0.2.1/24 dev d0 && "
                        "ip link set d1 up && ip link set d0 up && ip route add default dev d0") == 0)
            state = 1;
        // Frames leave only once the kernel has marked the link operational.
        for (int turns = 0; state > 0 && turns < 50; ++turns) {
            if (std::system("ip link show d0 | grep -q 'state UP'") == 0)
                break;
            usleep(50000);
        }
    }
    return state > 0;
}

struct Interface {
    const char *mac;
    const char *address;  // null: the entry carries none
};

std::vector<uint8_t> info(const char *host_name, const char *product_id, const std::vector<Interface> &interfaces)
{
    product_info product{};
    product.puid = const_cast<char *>("02:00:00:00:00:02");
    product.host_name = const_cast<char *>(host_name);
    product.product_id = const_cast<char *>(product_id);
    product.product_name = const_cast<char *>("Example");
    tlv_writer *writer = ipconf_msg_open_info(&product, IPCONF_PROTOCOL);
    for (const auto &entry : interfaces) {
        interface_conf conf{};
        conf.mac = const_cast<char *>(entry.mac);
        conf.role = INTERFACE_ROLE_NOT_SET;
        conf.link_state = LINK_STATE_NOT_SET;
        conf.ipv4_mode = IPV4_MODE_NOT_SET;
        conf.ipv4 = const_cast<char *>(entry.address);
        writer = ipconf_msg_add_interface_to_info(writer, &conf);
    }
    uint8_t *message = ipconf_msg_close_info(&writer);
    EXPECT_NE(message, nullptr);
    std::vector<uint8_t> bytes(message, message + tlv_get_size(message));
    free(message);
    return bytes;
}

int open_descriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dirent *entry = readdir(dir))
        count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
    return count - 1;
}

class Browse : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!private_network())
            GTEST_SKIP() << "needs a network namespace of its own";
        browse_ = udp_socket_new(4445, nullptr);
        ASSERT_GE(browse_, 0);
        sender_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        capture_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_IP));
        ASSERT_GE(capture_, 0);
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_protocol = htons(ETH_P_IP);
        link.sll_ifindex = static_cast<int>(if_nametoindex("d1"));  // the far end of the link
        ASSERT_EQ(bind(capture_, reinterpret_cast<sockaddr *>(&link), sizeof link), 0);
    }
    void TearDown() override
    {
        for (int fd : {browse_, sender_, capture_}) {
            if (fd >= 0)
                close(fd);
        }
    }
    void queue(const std::vector<uint8_t> &datagram) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(4445);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(sendto(sender_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
                  static_cast<ssize_t>(datagram.size()));
    }
    // How many LOOK broadcasts to port 4445 arrived at the far end of the link.
    int looks_sent() const
    {
        int looks = 0;
        uint8_t frame[2048];
        ssize_t got;
        pollfd watched{capture_, POLLIN, 0};
        (void)poll(&watched, 1, 500);  // frames on the link may take a moment to show
        while ((got = recv(capture_, frame, sizeof frame, 0)) > 0) {
            const auto *ip = reinterpret_cast<const iphdr *>(frame);
            size_t header = ip->ihl * 4u;
            if (ip->protocol != IPPROTO_UDP || static_cast<size_t>(got) < header + 8 + 8)
                continue;
            const auto *udp = reinterpret_cast<const udphdr *>(frame + header);
            if (ip->daddr == INADDR_BROADCAST && ntohs(udp->dest) == 4445 &&
                std::memcmp(frame + header + 8, "LOOK", 4) == 0)
                ++looks;
        }
        return looks;
    }
    static std::vector<std::vector<std::string>> records(ipconf_device *list)
    {
        std::vector<std::vector<std::string>> out;
        for (ipconf_device *d = list; d->ip != nullptr; ++d)
            out.push_back({d->hostname, d->ip, d->product_id, d->product_name});
        EXPECT_EQ(list[out.size()].hostname, nullptr);
        ipconf_free_device_list(list);
        return out;
    }

    int browse_ = -1, sender_ = -1, capture_ = -1;
};

TEST_F(Browse, CollectsEveryInfoInArrivalOrderAndDropsTheRest)
{
    auto one = info("dev-2", "PX-2", {{"02:00:00:00:00:02", "192.0.2.10"},
                                      {"02:00:00:00:00:03", nullptr},
                                      {"02:00:00:00:00:04", "198.51.100.4"}});
    auto bare = info(nullptr, nullptr, {});
    std::vector<uint8_t> cut(one.begin(), one.begin() + 40);  // declares more than arrived
    std::vector<uint8_t> wrapped = one;                       // a length that wraps around
    wrapped[4] = wrapped[5] = wrapped[6] = 0xff;
    wrapped[7] = 0xfc;
    std::vector<uint8_t> broken = one;  // an interface entry whose ADDR text lacks its zero
    broken.back() = 'x';

    queue(one);
    queue({'L', 'O'});
    queue(cut);
    queue(wrapped);
    queue(broken);
    queue(bare);
    queue(one);

    int before = open_descriptors();
    auto found = records(ipconf_browse(browse_, 1));
    const std::vector<std::string> first = {"dev-2", "192.0.2.10,198.51.100.4", "PX-2", "Example"};
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0], first);
    EXPECT_EQ(found[1], (std::vector<std::string>{"", "", "", "Example"}));
    EXPECT_EQ(found[2], first);
    EXPECT_EQ(looks_sent(), 1);
    EXPECT_EQ(open_descriptors(), before);
}

// Disabled while the INFO parser refuses an INTF whose empty IPV4 ends the
// message: a device whose only interface has no address is then not listed.
TEST_F(Browse, DISABLED_DeviceWhoseInterfacesCarryNoAddress)
{
    queue(info("dev-3", "PX-3", {{"02:00:00:00:00:05", nullptr}}));
    auto found = records(ipconf_browse(browse_, 1));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], (std::vector<std::string>{"dev-3", "", "PX-3", "Example"}));
}

TEST_F(Browse, EdgesOfTheWindowAndOfTheSocket)
{
    // A negative time-out: the LOOK goes out, nothing is collected.
    queue(info("dev-2", "PX-2", {}));
    auto none = records(ipconf_browse(browse_, -1));
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(looks_sent(), 1);

    // A socket of its own, closed again; its LOOK goes out too.
    int before = open_descriptors();
    close(browse_);
    browse_ = -1;
    EXPECT_TRUE(records(ipconf_browse(-1, 0)).empty());
    EXPECT_EQ(open_descriptors(), before - 1);
    EXPECT_EQ(looks_sent(), 1);

    // Handed a packet socket (the daemon in sleep mode): an empty list and no LOOK.
    EXPECT_TRUE(records(ipconf_browse(capture_, 5)).empty());
    EXPECT_EQ(looks_sent(), 0);

    auto *marker_only = static_cast<ipconf_device *>(calloc(1, sizeof(ipconf_device)));
    ipconf_free_device_list(marker_only);
    ipconf_free_device_list(nullptr);
}

}  // namespace
