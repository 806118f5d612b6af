#include "configurator/link.hpp"

#include "net/ip.hpp"
#include "util/owned.hpp"
#include "util/tlv_ez.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>

namespace configurator {

namespace {

// Larger than any UDP datagram or IPv4 packet.
constexpr size_t receive_buffer_size = 65536;

cancel_token *signal_token = nullptr;
volatile sig_atomic_t last_signal = 0;

void on_stop_signal(int number)
{
    last_signal = number;
    if (signal_token)
        signal_token->cancel();
}

std::string system_error(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

std::string program_path()
{
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : "PROGRAM";
}

std::string raw_refusal(const std::string &interface, bool asked)
{
    return "raw mode on " + interface + (asked ? "" : " (it has no IPv4 address)") +
           " needs CAP_NET_RAW for a packet socket: run as root, or grant the program the capability once with "
           "\"sudo setcap cap_net_raw+ep " +
           program_path() + "\"";
}

// Every device on a segment answers a LOOK at the same moment. The kernel
// accounts about 1.25 KiB per queued INFO, so the default queue (208 KiB)
// holds some 160 of them while we decode; this one (doubled by the kernel)
// over 1,600. Beyond net.core.rmem_max only root may go, with SO_RCVBUFFORCE.
constexpr int queue_bytes = 1 << 20;

void size_queue(int fd)
{
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &queue_bytes, sizeof queue_bytes) != 0)
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &queue_bytes, sizeof queue_bytes);
}

struct interface_state {
    unsigned flags = 0;
    std::string address;
};

// A socket set up by `prepare`, bound to `address`, with the large queue;
// -1 when any step fails (the owner closes it and keeps errno).
template <typename Address, typename Prepare>
int bound_endpoint(int domain, int protocol, const Address &address, Prepare prepare)
{
    owned_fd socket_fd(socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, protocol));
    const int fd = socket_fd.get();
    if (fd < 0 || !prepare(fd) || bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return -1;
    size_queue(fd);
    return socket_fd.release();
}

constexpr int enabled = 1;

int udp_endpoint(const std::string &interface)
{
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(ORVANE_PORT);
    // Address reuse lets a watch and a discover run side by side; replies are
    // broadcasts, which every such socket receives.
    return bound_endpoint(AF_INET, 0, any, [&interface](int fd) {
        return setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &enabled, sizeof enabled) == 0 &&
               setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &enabled, sizeof enabled) == 0 &&
               setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interface.c_str(),
                          static_cast<socklen_t>(interface.size())) == 0;
    });
}

int raw_endpoint(int index)
{
    sockaddr_ll here{};
    here.sll_family = AF_PACKET;
    here.sll_protocol = htons(ETH_P_IP);
    here.sll_ifindex = index;
    // The auxiliary data tells a frame whose checksum the sending host left
    // to the hardware (a virtual link hands it over unfinished).
    return bound_endpoint(AF_PACKET, htons(ETH_P_IP), here, [](int fd) {
        return setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &enabled, sizeof enabled) == 0;
    });
}

// Completes the UDP checksum of a frame that arrived without it, so that the
// check below can judge the rest as for any other frame.
void complete_checksum(uint8_t *packet, size_t length)
{
    if (length < 20 || packet[9] != IPPROTO_UDP)
        return;
    const size_t header = static_cast<size_t>(packet[0] & 0x0F) * 4;
    if (header < 20 || length < header + 8)
        return;
    const size_t udp_length = static_cast<size_t>(packet[header + 4]) << 8 | packet[header + 5];
    if (udp_length < 8 || length < header + udp_length)
        return;
    const uint16_t sum = checksum_udp(packet, packet + header);
    packet[header + 6] = static_cast<uint8_t>(sum >> 8);
    packet[header + 7] = static_cast<uint8_t>(sum);
}

// A frame a device could have sent: IPv4 whose total length fits the frame
// and holds a UDP header, not a fragment (a device's message fits one
// frame), from a source a host on the segment can have: 0.0.0.0 (a device
// without an address) or a unicast address off loopback. The frame is cut
// to the packet's length.
bool plausible_frame(std::vector<uint8_t> &frame)
{
    constexpr size_t fixed_header = 20, udp_header = 8;
    if (frame.size() < fixed_header || (frame[0] >> 4) != 4)
        return false;
    const size_t header = static_cast<size_t>(frame[0] & 0x0F) * 4;
    const size_t total = static_cast<size_t>(frame[2]) << 8 | frame[3];
    const bool fragment = ((frame[6] << 8 | frame[7]) & 0x3FFF) != 0; // more fragments, or an offset
    const uint8_t *source = &frame[12];
    const bool no_address = source[0] == 0 && source[1] == 0 && source[2] == 0 && source[3] == 0;
    if (header < fixed_header || total < header + udp_header || total > frame.size() || fragment || source[0] == 127 ||
        source[0] >= 224 || (source[0] == 0 && !no_address))
        return false;
    frame.resize(total);
    return true;
}

void fill_message(datagram &out)
{
    out.size = 0;
    out.type = 0;
    if (out.data.size() >= TLV_HEADER_SIZE) {
        out.size = std::min<size_t>(tlv_get_size(out.data.data()), out.data.size());
        out.type = tlv_get_envelope_type(out.data.data());
    }
    out.time = std::chrono::system_clock::now();
}

} // namespace

cancel_token::cancel_token() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

cancel_token::~cancel_token()
{
    if (signal_token == this)
        signal_token = nullptr;
    if (fd_ >= 0)
        close(fd_);
}

void cancel_token::cancel() noexcept
{
    cancelled_.store(true);
    const uint64_t one = 1;
    if (fd_ >= 0)
        (void)!write(fd_, &one, sizeof one);
}

void cancel_on_signals(cancel_token &token)
{
    signal_token = &token;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int caught_signal() noexcept
{
    return last_signal;
}

link::~link()
{
    close_all();
}

void link::close_all()
{
    for (auto &point : endpoints_)
        if (point.fd >= 0)
            close(point.fd);
    endpoints_.clear();
}

const endpoint *link::find(std::string_view interface) const
{
    for (const auto &point : endpoints_)
        if (point.interface == interface)
            return &point;
    return nullptr;
}

bool link::open(const link_options &options)
{
    close_all();
    notes_.clear();
    error_.clear();
    cancel_ = options.cancel;

    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) {
        error_ = system_error("cannot list the network interfaces");
        return false;
    }
    std::map<std::string, interface_state> found;
    std::vector<std::string> order;
    for (ifaddrs *entry = all; entry; entry = entry->ifa_next) {
        auto [known, added] = found.try_emplace(entry->ifa_name);
        if (added)
            order.emplace_back(entry->ifa_name);
        known->second.flags = entry->ifa_flags;
        char text[INET_ADDRSTRLEN];
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET && known->second.address.empty() &&
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(entry->ifa_addr)->sin_addr, text, sizeof text))
            known->second.address = text;
    }
    freeifaddrs(all);

    const bool named = !options.interfaces.empty();
    std::vector<std::string> chosen;
    if (named) {
        for (const auto &name : options.interfaces) {
            auto it = found.find(name);
            if (it == found.end()) {
                error_ = "no network interface " + name;
                return false;
            }
            if (!(it->second.flags & IFF_UP)) {
                error_ = name + " is down";
                return false;
            }
            if (std::find(chosen.begin(), chosen.end(), name) == chosen.end())
                chosen.push_back(name);
        }
    } else {
        for (const auto &name : order) {
            const unsigned flags = found[name].flags;
            if ((flags & IFF_UP) && !(flags & IFF_LOOPBACK) && (flags & IFF_BROADCAST))
                chosen.push_back(name);
        }
    }

    std::string refused;
    for (const auto &name : chosen) {
        endpoint point;
        point.interface = name;
        point.index = static_cast<int>(if_nametoindex(name.c_str()));
        point.raw = options.raw || found[name].address.empty();
        point.address = point.raw ? "0.0.0.0" : found[name].address;
        point.fd = point.raw ? raw_endpoint(point.index) : udp_endpoint(name);
        if (point.fd >= 0) {
            endpoints_.push_back(point);
            continue;
        }
        if (point.raw && (errno == EPERM || errno == EACCES)) {
            refused = raw_refusal(name, options.raw);
            if (named || options.raw) {
                error_ = refused;
                close_all();
                return false;
            }
            notes_.push_back(name + " has no IPv4 address and is not searched: " + refused);
            continue;
        }
        error_ = point.raw ? system_error("cannot open a packet socket on " + name)
                 : errno == EADDRINUSE
                     ? "UDP port 4445 on " + name + " is in use by another program (an orvaned on this host?)"
                     : system_error("cannot open UDP port 4445 on " + name);
        close_all();
        return false;
    }
    if (endpoints_.empty()) {
        error_ = !refused.empty() ? refused
                                  : "no network interface to search: none is up and broadcast-capable other than "
                                    "loopback";
        return false;
    }
    return true;
}

bool link::broadcast(std::span<const uint8_t> message, std::string_view interface)
{
    bool sent = false;
    std::vector<uint8_t> packet;
    for (const auto &point : endpoints_) {
        if (!interface.empty() && point.interface != interface)
            continue;
        bool done;
        if (point.raw) {
            packet.assign(raw_udp_header_size, 0);
            packet.insert(packet.end(), message.begin(), message.end());
            raw_udp_set_broadcast_header(packet.data(), ORVANE_PORT, message.size());
            done = raw_send(point.fd, point.index, nullptr, packet.data(), packet.size()) == 0;
        } else {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(ORVANE_PORT);
            to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
            done = sendto(point.fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
                   static_cast<ssize_t>(message.size());
        }
        if (!done)
            error_ = system_error("cannot broadcast on " + point.interface);
        sent = sent || done;
    }
    return sent;
}

bool link::read(const endpoint &from, datagram &out)
{
    out.data.resize(receive_buffer_size);
    sockaddr_storage sender{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(tpacket_auxdata))];
    iovec buffer{out.data.data(), out.data.size()};
    msghdr header{};
    header.msg_name = &sender;
    header.msg_namelen = sizeof sender;
    header.msg_iov = &buffer;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(from.fd, &header, MSG_DONTWAIT);
    if (got < 0)
        return false;
    out.data.resize(static_cast<size_t>(got));
    out.interface = from.interface;
    if (!from.raw) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&sender);
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        out.sender = text;
        out.sender_port = ntohs(in->sin_port);
        fill_message(out);
        return true;
    }
    if (reinterpret_cast<const sockaddr_ll *>(&sender)->sll_pkttype == PACKET_OUTGOING)
        return false;
    for (cmsghdr *c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_PACKET || c->cmsg_type != PACKET_AUXDATA)
            continue;
        tpacket_auxdata aux;
        std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
        if (aux.tp_status & TP_STATUS_CSUMNOTREADY)
            complete_checksum(out.data.data(), out.data.size());
    }
    if (!plausible_frame(out.data) || raw_udp_check(out.data.data(), out.data.size(), ORVANE_PORT) != 0)
        return false;
    char text[INET_ADDRSTRLEN] = "";
    if (raw_ipv4_get_sender_address(out.data.data(), text) != 0)
        return false;
    const size_t header_size = static_cast<size_t>(out.data[0] & 0x0F) * 4;
    out.sender = text;
    out.sender_port = static_cast<uint16_t>(out.data[header_size] << 8 | out.data[header_size + 1]);
    const uint8_t *payload = raw_udp_get_data(out.data.data());
    const size_t size = raw_udp_get_data_size(out.data.data());
    out.data.assign(payload, payload + size);
    fill_message(out);
    return true;
}

wait link::receive(clock::time_point deadline, datagram &out)
{
    std::vector<pollfd> watched;
    for (const auto &point : endpoints_)
        watched.push_back({point.fd, POLLIN, 0});
    if (cancel_)
        watched.push_back({cancel_->fd(), POLLIN, 0});
    for (;;) {
        if (cancel_ && cancel_->cancelled())
            return wait::cancelled;
        // Past the deadline, what is already queued is still handed out.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        const int ready = poll(watched.data(), watched.size(), static_cast<int>(std::clamp<long long>(left, 0, 60000)));
        if (ready < 0 && errno != EINTR) {
            error_ = system_error("poll failed");
            return wait::failed;
        }
        if (ready <= 0 && left <= 0)
            return wait::deadline;
        if (ready <= 0)
            continue;
        // Round robin, so that a busy interface does not starve the others.
        for (size_t step = 0; step < endpoints_.size(); ++step) {
            const size_t i = (next_ + step) % endpoints_.size();
            if (watched[i].revents == 0)
                continue;
            watched[i].revents = 0;
            if (read(endpoints_[i], out)) {
                next_ = i + 1;
                return wait::message;
            }
        }
    }
}

} // namespace configurator
