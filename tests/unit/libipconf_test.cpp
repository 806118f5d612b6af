// The browse client in a network namespace of its own (a veth pair and
// loopback, nothing else): INFO replies queued on the browse socket, the LOOK
// arriving at the far end of the link.
#include "ipconf/ipconf_msg.hpp"
#include "ipconf/libipconf.hpp"
#include "net/socket.hpp"
#include "util/tlv_ez.hpp"

#include <gtest/gtest.h>

#include "tlv_bytes.hpp"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

bool private_network()
{
    if (unshare(CLONE_NEWNET) != 0 ||
        std::system("ip link set lo up && ip link add d0 type veth peer name d1 && ip addr add 192.0.2.1/24 dev d0 && "
                    "ip link set d1 up && ip link set d0 up && ip route add default dev d0") != 0)
        return false;
    // Frames leave only once the kernel has marked the link operational.
    for (int turns = 0; turns < 50 && std::system("ip link show d0 | grep -q 'state UP'") != 0; ++turns)
        usleep(50000);
    return true;
}

bytes info(char *host_name, char *product_id, const std::vector<std::pair<const char *, const char *>> &interfaces)
{
    char puid[] = "02:00:00:00:00:02", name[] = "Example";
    product_info product{puid, 0, host_name, name, product_id, nullptr, nullptr, nullptr};
    tlv_writer *writer = ipconf_msg_open_info(&product, IPCONF_PROTOCOL);
    for (const auto &[mac, address] : interfaces) {
        interface_conf conf{nullptr, const_cast<char *>(mac), 3, 2, 3, const_cast<char *>(address), nullptr, nullptr, nullptr, nullptr, nullptr};
        writer = ipconf_msg_add_interface_to_info(writer, &conf);
    }
    return take(ipconf_msg_close_info(&writer));
}

class Browse : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!private_network())
            GTEST_SKIP() << "needs a network namespace of its own";
        ASSERT_GE(browse_ = udp_socket_new(ORVANE_PORT, nullptr), 0);
        sender_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        capture_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_IP));
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_protocol = htons(ETH_P_IP);
        link.sll_ifindex = static_cast<int>(if_nametoindex("d1"));  // the far end of the link
        ASSERT_EQ(bind(capture_, reinterpret_cast<sockaddr *>(&link), sizeof link), 0);
    }
    void TearDown() override
    {
        for (int fd : {browse_, sender_, capture_})
            close(fd);
    }
    void queue(const bytes &datagram) const
    {
        sockaddr_in to{AF_INET, htons(ORVANE_PORT), {htonl(INADDR_LOOPBACK)}, {}};
        ASSERT_EQ(sendto(sender_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
                  static_cast<ssize_t>(datagram.size()));
    }
    // How many LOOK broadcasts to port 4445 arrived at the far end of the link.
    int looks_sent() const
    {
        int looks = 0;
        uint8_t frame[2048];
        pollfd watched{capture_, POLLIN, 0};
        (void)poll(&watched, 1, 500);  // frames on the link may take a moment to show
        for (ssize_t got; (got = recv(capture_, frame, sizeof frame, 0)) >= 36;)
            looks += frame[9] == 17 && std::memcmp(frame + 16, "\xff\xff\xff\xff", 4) == 0 && frame[22] == 0x11 &&
                     frame[23] == 0x5d && std::memcmp(frame + 28, "LOOK", 4) == 0;
        return looks;
    }
    static std::vector<std::vector<std::string>> records(ipconf_device *list)
    {
        std::vector<std::vector<std::string>> out;
        for (ipconf_device *d = list; d->ip != nullptr; ++d)
            out.push_back({d->hostname, d->ip, d->product_id, d->product_name});
        ipconf_free_device_list(list);
        return out;
    }

    int browse_ = -1, sender_ = -1, capture_ = -1;
};

TEST_F(Browse, CollectsEveryInfoInArrivalOrderAndDropsTheRest)
{
    char host[] = "dev-2", id[] = "PX-2";
    const bytes one = info(host, id, {{"02:00:00:00:00:02", "192.0.2.10"}, {"02:00:00:00:00:03", nullptr},
                                      {"02:00:00:00:00:04", "198.51.100.4"}});
    bytes wrapped = one;  // a length that wraps around
    wrapped[4] = wrapped[5] = wrapped[6] = 0xff;
    wrapped[7] = 0xfc;
    bytes broken = one;  // an ADDR text without its zero
    ASSERT_GT(broken.size(), 8u);
    broken.back() = 'x';
    for (const bytes &datagram : {one, bytes{'L', 'O'}, bytes(one.begin(), one.begin() + 40), wrapped, broken,
                                  info(nullptr, nullptr, {}), one})
        queue(datagram);

    const std::vector<std::string> first = {"dev-2", "192.0.2.10,198.51.100.4", "PX-2", "Example"};
    EXPECT_EQ(records(ipconf_browse(browse_, 1)),
              (std::vector<std::vector<std::string>>{first, {"", "", "", "Example"}, first}));
    EXPECT_EQ(looks_sent(), 1);

    // A negative time-out: the LOOK goes out, nothing is collected. A packet
    // socket (the daemon in sleep mode): nothing is sent either.
    queue(one);
    EXPECT_TRUE(records(ipconf_browse(browse_, -1)).empty());
    EXPECT_EQ(looks_sent(), 1);
    EXPECT_TRUE(records(ipconf_browse(capture_, 5)).empty());
    EXPECT_EQ(looks_sent(), 0);
}

}  // namespace
