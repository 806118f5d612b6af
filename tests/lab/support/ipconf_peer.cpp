#include "support/ipconf_peer.hpp"

#include "ipconf/ipconf_msg.hpp"
#include "util/tlv_ez.hpp"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace lab {

namespace {


using steady = std::chrono::steady_clock;

int remaining_ms(steady::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool matches(const bytes &message, uint32_t type, const std::string &puid)
{
    return message.size() >= 8 && (type == 0 || tlv_get_envelope_type(message.data()) == type) &&
           (puid.empty() || puid_of(message) == puid);
}

} // namespace

bytes take_message(uint8_t *message)
{
    if (message == nullptr)
        return {};
    bytes copy(message, message + tlv_get_size(message));
    std::free(message);
    return copy;
}

std::vector<std::pair<std::string, bytes>> drain_socket(int fd, int quiet_ms)
{
    std::vector<std::pair<std::string, bytes>> got;
    pollfd pfd{fd, POLLIN, 0};
    for (int rounds = 0; rounds < 64 && poll(&pfd, 1, quiet_ms) == 1; ++rounds) {
        bytes buffer(65536);
        sockaddr_ll from{};
        socklen_t length = sizeof from;
        const ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 0)
            break;
        buffer.resize(static_cast<size_t>(n));
        char mac[18];
        std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", from.sll_addr[0], from.sll_addr[1],
                      from.sll_addr[2], from.sll_addr[3], from.sll_addr[4], from.sll_addr[5]);
        if (from.sll_family != AF_PACKET)
            got.emplace_back("", std::move(buffer));
        else if (from.sll_pkttype != PACKET_OUTGOING && n >= 28 && buffer[9] == IPPROTO_UDP)
            got.emplace_back(mac, std::move(buffer));
    }
    return got;
}

std::string puid_of(const bytes &message)
{
    bytes copy = message;
    char *puid = nullptr;
    if (ipconf_msg_parse_get_puid(copy.data(), copy.size(), &puid) != 0 || puid == nullptr)
        return "";
    return puid;
}

IpconfPeer::IpconfPeer(Lab &lab, const std::string &host)
{
    auto in = lab.enter(host);
    if (!in.ok())
        return;
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(ORVANE_PORT);
    // Tied to the lab link: a limited broadcast needs no route then.
    const char device[] = "lab0";
    if (s < 0 || setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, device, sizeof device) != 0 ||
        bind(s, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0) {
        ADD_FAILURE() << "cannot bind the configurator's socket to port 4445";
        close(s);
        return;
    }
    socket_ = s;
}

IpconfPeer::~IpconfPeer()
{
    if (socket_ >= 0)
        close(socket_);
}

bool IpconfPeer::send(const bytes &message) const
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(ORVANE_PORT);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    return sendto(socket_, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
           static_cast<ssize_t>(message.size());
}

std::optional<bytes> IpconfPeer::receive(uint32_t type, int timeout_ms, const std::string &puid) const
{
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd p{socket_, POLLIN, 0};
        if (poll(&p, 1, remaining_ms(deadline)) <= 0)
            return std::nullopt;
        bytes data(65536);
        const ssize_t n = recv(socket_, data.data(), data.size(), 0);
        if (n < 0)
            return std::nullopt;
        data.resize(static_cast<size_t>(n));
        if (matches(data, type, puid))
            return data;
    }
}

std::vector<bytes> IpconfPeer::collect(uint32_t type, int window_ms, const std::string &puid) const
{
    std::vector<bytes> found;
    const auto deadline = steady::now() + std::chrono::milliseconds(window_ms);
    while (remaining_ms(deadline) > 0) {
        if (auto message = receive(type, remaining_ms(deadline), puid))
            found.push_back(std::move(*message));
    }
    return found;
}

void IpconfPeer::drain() const
{
    (void)drain_socket(socket_, 0);
}

} // namespace lab
