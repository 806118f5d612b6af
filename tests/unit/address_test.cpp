// IP and unix addresses: byte layout, the length bounds and the refusals; an
// abstract unix socket made here is reached by a peer that gives the full
// record length.
#include "net/address.hpp"
#include "net/socket.hpp"
#include "util/owned.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(Address, NumericHostsWithPortInNetworkOrderAndUnixNamesAtTheirBounds)
{
    const malloc_ptr<sockaddr_storage> address(ip_address_new("255.255.255.255", 4445));
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const char *>(address.get()) + 2, "\x11\x5D", 2), 0);
    char text[46];
    uint16_t port = 0;
    ASSERT_EQ(ip_address_port_set(address.get(), 80) | ip_address_get(address.get(), text, &port), 0);
    EXPECT_EQ(text + (":" + std::to_string(port)), "255.255.255.255:80");

    const malloc_ptr<sockaddr_un> path(unix_address_new(std::string(107, 'p').c_str()));
    const malloc_ptr<sockaddr_un> abstract(unix_abstract_address_new(std::string(106, 'a').c_str()));
    EXPECT_EQ(unix_address_length_get(path.get()), 109u);
    EXPECT_EQ(std::string(abstract->sun_path + 1), std::string(106, 'a'));
    EXPECT_EQ(unix_address_length_get(abstract.get()), 110u);

    CaptureStderr();
    EXPECT_EQ(ip_address_new("localhost", 1), nullptr) << "only numeric hosts";
    EXPECT_EQ(unix_address_new(std::string(108, 'p').c_str()), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(unix_abstract_address_new(std::string(107, 'a').c_str()), nullptr);
    EXPECT_EQ(GetCapturedStderr().rfind("getaddrinfo failed", 0), 0u);
}

TEST(UnixSocket, AbstractSocketIsReachedWithTheFullRecordLengthAndNotTwice)
{
    const std::string name = "orv_address_test_" + std::to_string(getpid());
    int server = unix_socket_new(SOCK_DGRAM, name.c_str());
    ASSERT_GE(server, 0);
    sockaddr_un *to = unix_abstract_address_new(name.c_str());
    int peer = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_EQ(sendto(peer, "ping", 4, 0, reinterpret_cast<sockaddr *>(to), sizeof(sockaddr_un)), 4);
    char buffer[8] = {};
    EXPECT_EQ(recv(server, buffer, sizeof buffer, MSG_DONTWAIT), 4);
    // The bare name without the padding NULs is another address.
    const auto bare = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    EXPECT_EQ(sendto(peer, "x", 1, 0, reinterpret_cast<sockaddr *>(to), bare), -1);
    std::free(to);

    // Refusals leave no descriptor behind: the lowest free one stays free.
    const int lowest = dup(peer);
    close(lowest);
    CaptureStderr();
    EXPECT_EQ(unix_socket_new(SOCK_DGRAM, name.c_str()), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_EQ(unix_socket_new(SOCK_STREAM, std::string(107, 'n').c_str()), -1);
    EXPECT_EQ(GetCapturedStderr().rfind("bind to unix path failed: ", 0), 0u);
    EXPECT_EQ(dup(peer), lowest);
    for (int fd : {lowest, peer, server})
        close(fd);
}

} // namespace
