// IP and unix addresses: byte layout, the length bounds, and the refusals
// with their perror texts; an abstract unix socket made here is reached by a
// peer that gives the full record length.
#include "net/address.hpp"
#include "net/socket.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

struct free_deleter {
    void operator()(void *block) const { std::free(block); }
};
template <typename T> using owned = std::unique_ptr<T, free_deleter>;

TEST(IpAddress, BroadcastAndWildcardCarryFamilyAndPortInNetworkOrder)
{
    owned<sockaddr_storage> broadcast(ip_address_new("255.255.255.255", 4445));
    ASSERT_TRUE(broadcast);
    ASSERT_EQ(broadcast->ss_family, AF_INET);
    const auto *bytes = reinterpret_cast<const unsigned char *>(broadcast.get());
    EXPECT_EQ(bytes[2], 0x11);
    EXPECT_EQ(bytes[3], 0x5D);
    char text[46];
    uint16_t port = 0;
    ASSERT_EQ(ip_address_get(broadcast.get(), text, &port), 0);
    EXPECT_STREQ(text, "255.255.255.255");
    EXPECT_EQ(port, 4445);

    ASSERT_EQ(ip_address_port_set(broadcast.get(), 80), 0);
    ASSERT_EQ(ip_address_get(broadcast.get(), text, &port), 0);
    EXPECT_EQ(port, 80);

    owned<sockaddr_storage> v6(ip_address_new("fe80::1", 7));
    ASSERT_TRUE(v6) << "numeric IPv6 text";
    EXPECT_EQ(v6->ss_family, AF_INET6);
    ASSERT_EQ(ip_address_get(v6.get(), text, &port), 0);
    EXPECT_STREQ(text, "fe80::1");
    EXPECT_EQ(port, 7);

    owned<sockaddr_storage> wildcard(ip_address_new(nullptr, 0));
    ASSERT_TRUE(wildcard);
    ASSERT_EQ(ip_address_get(wildcard.get(), text, &port), 0);
    EXPECT_TRUE(std::string(text) == "0.0.0.0" || std::string(text) == "::") << text;
    EXPECT_EQ(port, 0);
}

TEST(IpAddress, RefusesNamesAndForeignFamiliesWithTheirMessages)
{
    CaptureStderr();
    EXPECT_EQ(ip_address_new("localhost", 1), nullptr) << "only numeric hosts";
    EXPECT_NE(GetCapturedStderr().find("getaddrinfo failed"), std::string::npos);

    sockaddr_storage unix_family{};
    unix_family.ss_family = AF_UNIX;
    char text[46] = "untouched";
    uint16_t port = 99;
    CaptureStderr();
    EXPECT_EQ(ip_address_get(&unix_family, text, &port), -1);
    EXPECT_EQ(errno, EAFNOSUPPORT);
    std::string printed = GetCapturedStderr();
    EXPECT_EQ(printed.rfind("get address/port failed: ", 0), 0u) << printed;
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(port, 99);

    CaptureStderr();
    EXPECT_EQ(ip_address_port_set(&unix_family, 1), -1);
    EXPECT_EQ(errno, EAFNOSUPPORT);
    EXPECT_EQ(GetCapturedStderr().rfind("set port failed: ", 0), 0u);
}

TEST(UnixAddress, PathAndAbstractFormsAtTheirLengthBounds)
{
    const std::string path107(107, 'p');
    owned<sockaddr_un> path(unix_address_new(path107.c_str()));
    ASSERT_TRUE(path);
    EXPECT_EQ(path->sun_family, AF_UNIX);
    EXPECT_EQ(std::string(path->sun_path), path107);
    EXPECT_EQ(unix_address_length_get(path.get()), 109u);

    CaptureStderr();
    EXPECT_EQ(unix_address_new(std::string(108, 'p').c_str()), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(GetCapturedStderr().rfind("invalid unix address: ", 0), 0u);

    const std::string name106(106, 'a');
    owned<sockaddr_un> abstract(unix_abstract_address_new(name106.c_str()));
    ASSERT_TRUE(abstract);
    EXPECT_EQ(abstract->sun_path[0], '\0');
    EXPECT_EQ(std::string(abstract->sun_path + 1), name106);
    EXPECT_EQ(abstract->sun_path[107], '\0');
    EXPECT_EQ(unix_address_length_get(abstract.get()), 110u);

    CaptureStderr();
    EXPECT_EQ(unix_abstract_address_new(std::string(107, 'a').c_str()), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(GetCapturedStderr().rfind("invalid unix address: ", 0), 0u);

    // A short abstract name: every byte after it stays zero.
    owned<sockaddr_un> short_name(unix_generic_address_new("x", 1));
    ASSERT_TRUE(short_name);
    for (size_t i = 2; i < sizeof short_name->sun_path; ++i)
        ASSERT_EQ(short_name->sun_path[i], '\0') << i;
}

int open_descriptors()
{
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1)
            ++count;
    return count;
}

TEST(UnixSocket, AbstractSocketIsReachedWithTheFullRecordLengthAndNotTwice)
{
    const std::string name = "orv_address_test_" + std::to_string(getpid());
    int server = unix_socket_new(SOCK_DGRAM, name.c_str());
    ASSERT_GE(server, 0);

    // The peer pads the name with NULs to the end of the record.
    owned<sockaddr_un> peer_address(unix_abstract_address_new(name.c_str()));
    int peer = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_EQ(sendto(peer, "ping", 4, 0, reinterpret_cast<sockaddr *>(peer_address.get()), sizeof(sockaddr_un)), 4);
    char buffer[8] = {};
    EXPECT_EQ(recv(server, buffer, sizeof buffer, MSG_DONTWAIT), 4);
    EXPECT_STREQ(buffer, "ping");
    // The bare name without padding is another address.
    socklen_t short_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    EXPECT_EQ(sendto(peer, "x", 1, 0, reinterpret_cast<sockaddr *>(peer_address.get()), short_length), -1);

    const int before = open_descriptors();
    CaptureStderr();
    EXPECT_EQ(unix_socket_new(SOCK_DGRAM, name.c_str()), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_EQ(GetCapturedStderr().rfind("bind to unix path failed: ", 0), 0u);
    CaptureStderr();
    EXPECT_EQ(unix_socket_new(SOCK_STREAM, std::string(107, 'n').c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(GetCapturedStderr().rfind("invalid unix address: ", 0), 0u);
    EXPECT_EQ(open_descriptors(), before) << "a failed call left a descriptor open";
    close(peer);
    close(server);
}

} // namespace
