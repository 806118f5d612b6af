#include "tools/orvanectl/port.hpp"
#include "tools/orvanectl/cli.hpp"
#include "tools/orvanectl/output.hpp"

#include "ipconf/elements.hpp"
#include "net/ip.hpp"
#include "net/socket.hpp"
#include "util/tlv_ez.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string_view>

namespace ctl {

namespace {

// Cleared by SIGINT and SIGTERM once stop_on_signals was called.
volatile sig_atomic_t run = 1;

// Larger than any UDP datagram.
constexpr size_t receive_buffer_size = 65536;

// Every device on the segment answers a LOOK at the same moment. The kernel
// accounts 1.25 KiB per queued INFO from a veth or Ethernet link, so the
// default queue (208 KiB) holds about 160 of them while we decode; this one
// (doubled by the kernel) holds over 1,600. Past net.core.rmem_max only root
// may go, with SO_RCVBUFFORCE.
constexpr int socket_queue_bytes = 1 << 20;

void size_queue(int socket)
{
    if (setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &socket_queue_bytes, sizeof socket_queue_bytes) != 0)
        (void)setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &socket_queue_bytes, sizeof socket_queue_bytes);
}

void on_stop_signal(int)
{
    run = 0;
}

} // namespace

deadline deadline_after(int milliseconds)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

ipconf_port::~ipconf_port()
{
    if (socket_ >= 0)
        close(socket_);
}

bool ipconf_port::open(const std::string &interface)
{
    socket_ = udp_socket_new(ORVANE_PORT, interface.empty() ? nullptr : interface.c_str());
    if (socket_ < 0) {
        std::string where = interface.empty() ? "" : " on " + interface;
        return refuse("cannot open UDP port " + std::to_string(ORVANE_PORT) + where +
                      " (in use by a daemon on this host, no such interface, or not allowed)");
    }
    size_queue(socket_);
    return true;
}

bool ipconf_port::broadcast(const uint8_t *message)
{
    if (udp_send_broadcast(socket_, ORVANE_PORT, message, tlv_get_size(message)) != 0)
        return refuse("cannot broadcast to 255.255.255.255:" + std::to_string(ORVANE_PORT) +
                      " (no route? give the interface with -i)");
    return true;
}

int ipconf_port::receive(deadline until, datagram &out)
{
    for (;;) {
        if (!run)
            return 0;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return 0;
        pollfd wanted{socket_, POLLIN, 0};
        int ready = poll(&wanted, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            refuse(std::string("poll failed: ") + std::strerror(errno));
            return -1;
        }
        if (ready == 0)
            continue;
        out.data.resize(receive_buffer_size);
        sockaddr_storage from{};
        socklen_t from_length = sizeof from;
        ssize_t got = recvfrom(socket_, out.data.data(), out.data.size(), 0, reinterpret_cast<sockaddr *>(&from),
                               &from_length);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got < 0) {
            refuse(std::string("receive failed: ") + std::strerror(errno));
            return -1;
        }
        out.data.resize(static_cast<size_t>(got));
        out.sender = address_text(from);
        out.sender_port = ntohs(reinterpret_cast<const sockaddr_in *>(&from)->sin_port);
        out.size = 0;
        out.type = 0;
        if (out.data.size() >= 8) {
            out.size = std::min<size_t>(tlv_get_size(out.data.data()), out.data.size());
            out.type = tlv_get_envelope_type(out.data.data());
        }
        return 1;
    }
}

std::vector<std::string> local_addresses()
{
    std::vector<std::string> found;
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0)
        return found;
    for (ifaddrs *entry = all; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        char text[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(entry->ifa_addr)->sin_addr, text, sizeof text))
            found.emplace_back(text);
    }
    freeifaddrs(all);
    return found;
}

bool is_local_address(const std::vector<std::string> &locals, const char *address)
{
    if (!address)
        return false;
    std::string_view text(address);
    constexpr std::string_view mapped = "::ffff:";
    if (text.size() > mapped.size() && text.substr(0, mapped.size()) == mapped)
        text.remove_prefix(mapped.size());
    return std::find(locals.begin(), locals.end(), text) != locals.end();
}

void stop_on_signals()
{
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace ctl
