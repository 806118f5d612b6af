#include "net/ip.hpp"

#include "net/address.hpp"
#include "net/if.hpp"
#include "util/owned.hpp"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t ip_header_size = 20;
constexpr size_t udp_header_size = 8;
constexpr uint8_t udp_protocol = 17;
constexpr uint8_t time_to_live = 33;
constexpr size_t max_payload = 0xFFFF - raw_udp_header_size;

// The cached broadcast destination of udp_send_broadcast; never released.
sockaddr_storage *broadcast_destination = nullptr;

uint16_t read16(const uint8_t *at)
{
    return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

void write16(uint8_t *at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

// Sum of big-endian 16-bit words; an odd last byte counts as its value * 256.
uint32_t add_words(uint32_t sum, const uint8_t *bytes, size_t length)
{
    for (size_t i = 0; i + 1 < length; i += 2)
        sum += read16(bytes + i);
    if (length % 2 != 0)
        sum += static_cast<uint32_t>(bytes[length - 1]) << 8;
    return sum;
}

uint16_t fold_complement(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// setsockopt, with the one failure text of this layer: 0 or -1.
int set_option(int socket, int level, int name, const void *value, socklen_t size)
{
    if (setsockopt(socket, level, name, value, size) == 0)
        return 0;
    std::perror("set socket options failed");
    return -1;
}

size_t header_length(const uint8_t *packet)
{
    return static_cast<size_t>(packet[0] & 0x0F) * 4;
}

} // namespace

int udp_send_broadcast(int socket, uint16_t port, const void *payload, size_t size)
{
    if (broadcast_destination == nullptr) {
        broadcast_destination = ip_address_new("255.255.255.255", port);
        if (broadcast_destination == nullptr)
            return -1;
    } else if (ip_address_port_set(broadcast_destination, port) != 0) {
        return -1;
    }
    if (sendto(socket, payload, size, 0, reinterpret_cast<sockaddr *>(broadcast_destination),
               sizeof(sockaddr_storage)) > 0)
        return 0;
    std::perror("sendto failed");
    return -1;
}

int raw_send(int socket, int ifindex, const uint8_t *hardware, const void *packet, size_t size)
{
    sockaddr_ll destination{};
    destination.sll_family = AF_PACKET;
    destination.sll_protocol = htons(ETH_P_IP);
    destination.sll_ifindex = ifindex;
    destination.sll_halen = 6;
    if (hardware != nullptr)
        std::memcpy(destination.sll_addr, hardware, 6);
    else
        std::memset(destination.sll_addr, 0xFF, 6);
    if (sendto(socket, packet, size, 0, reinterpret_cast<sockaddr *>(&destination), sizeof destination) > 0)
        return 0;
    std::perror("sendto failed");
    return -1;
}

int raw_send_udp_broadcast(int socket, uint16_t port, const void *payload, size_t size)
{
    if (size > max_payload) {
        errno = EMSGSIZE;
        return -1;
    }
    malloc_ptr<uint8_t> packet(static_cast<uint8_t *>(std::malloc(size + raw_udp_header_size)));
    if (!packet) {
        std::perror("malloc failed");
        return -1;
    }
    if (size != 0)
        std::memcpy(packet.get() + raw_udp_header_size, payload, size);
    raw_udp_set_broadcast_header(packet.get(), port, size);

    // Every link, addressed or not: a device without an address is still
    // found through the frames sent here.
    const owned_fd ioctl_socket(if_new());
    std::vector<if_link> links;
    if (!ioctl_socket || if_links_get(ioctl_socket.get(), links) != 0)
        return -1;
    int result = 0;
    for (const if_link &link : links) {
        if (if_link_can_broadcast(link) &&
            raw_send(socket, static_cast<int>(link.index), nullptr, packet.get(), size + raw_udp_header_size) != 0)
            result = -1;
    }
    return result;
}

void raw_udp_set_broadcast_header(uint8_t *packet, uint16_t port, size_t size)
{
    std::memset(packet, 0, raw_udp_header_size);
    packet[0] = 0x45;
    write16(packet + 2, static_cast<uint16_t>(size + raw_udp_header_size));
    packet[8] = time_to_live;
    packet[9] = udp_protocol;
    std::memset(packet + 16, 0xFF, 4);
    write16(packet + 10, checksum_ip(packet));
    uint8_t *udp = packet + ip_header_size;
    write16(udp + 2, port);
    write16(udp + 4, static_cast<uint16_t>(size + udp_header_size));
    write16(udp + 6, checksum_udp(packet, udp));
}

uint16_t checksum_ip(const uint8_t *packet)
{
    const size_t h = header_length(packet);
    uint32_t sum = add_words(0, packet, h);
    if (h >= 12)
        sum -= read16(packet + 10); // the stored checksum counts as 0
    return fold_complement(sum);
}

uint16_t checksum_udp(const uint8_t *packet, const uint8_t *udp)
{
    const uint16_t length = read16(udp + 4);
    uint32_t sum = add_words(0, packet + 12, 8); // source and destination
    sum += packet[9];
    sum += length;
    sum = add_words(sum, udp, length);
    if (length >= 8)
        sum -= read16(udp + 6);
    else if (length == 7)
        sum -= static_cast<uint32_t>(udp[6]) << 8;
    const uint16_t result = fold_complement(sum);
    return result == 0 ? 0xFFFF : result;
}

int raw_udp_check(const uint8_t *packet, size_t length, uint16_t port)
{
    return raw_udp_check_status(packet, length, port, 0);
}

int raw_udp_check_status(const uint8_t *packet, size_t length, uint16_t port, uint32_t status)
{
    if (length < ip_header_size || packet[9] != udp_protocol)
        return -1;
    const size_t h = header_length(packet);
    // A header shorter than its fixed part would put the UDP header inside it.
    if (h < ip_header_size || length < h + udp_header_size)
        return -1;
    const uint8_t *udp = packet + h;
    const size_t udp_length = read16(udp + 4);
    if (udp_length < udp_header_size || length < h + udp_length)
        return -1;
    if (read16(udp + 2) != port)
        return -1;
    if (checksum_ip(packet) != read16(packet + 10))
        return -1;
    if ((status & (TP_STATUS_CSUMNOTREADY | TP_STATUS_CSUM_VALID)) != 0)
        return 0;
    if (checksum_udp(packet, udp) != read16(udp + 6))
        return -1;
    return 0;
}

int raw_socket_want_status(int socket)
{
    const int on = 1;
    return set_option(socket, SOL_PACKET, PACKET_AUXDATA, &on, sizeof on);
}

namespace {

uint32_t packet_status(msghdr &message)
{
    uint32_t status = 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA &&
            c->cmsg_len >= CMSG_LEN(sizeof(tpacket_auxdata))) {
            tpacket_auxdata aux;
            std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
            status = aux.tp_status;
        }
    }
    return status;
}

} // namespace

int datagrams_recv(int socket, datagram_slot *slots, unsigned count)
{
    static_assert(CMSG_SPACE(sizeof(tpacket_auxdata)) <= sizeof datagram_slot::control);
    constexpr unsigned most = 64;
    mmsghdr messages[most];
    iovec data[most];
    count = std::min(count, most);
    for (unsigned i = 0; i < count; ++i) {
        data[i] = {slots[i].buffer, slots[i].size};
        messages[i] = {};
        messages[i].msg_hdr.msg_name = &slots[i].sender;
        messages[i].msg_hdr.msg_namelen = sizeof slots[i].sender;
        messages[i].msg_hdr.msg_iov = &data[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_control = slots[i].control;
        messages[i].msg_hdr.msg_controllen = sizeof slots[i].control;
    }
    const int received = recvmmsg(socket, messages, count, MSG_DONTWAIT, nullptr);
    if (received < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    for (int i = 0; i < received; ++i) {
        slots[i].length = messages[i].msg_len;
        slots[i].status = packet_status(messages[i].msg_hdr);
    }
    return received;
}

ssize_t raw_recv(int socket, uint8_t *buffer, size_t size, uint32_t *status)
{
    iovec data{buffer, size};
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(tpacket_auxdata))];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t received = recvmsg(socket, &message, 0);
    *status = received >= 0 ? packet_status(message) : 0;
    return received;
}

int datagram_drop_set(int socket, bool headers, uint16_t port, const char (&type)[5])
{
    const uint32_t leading = static_cast<uint32_t>(static_cast<uint8_t>(type[0])) << 24 |
                             static_cast<uint32_t>(static_cast<uint8_t>(type[1])) << 16 |
                             static_cast<uint32_t>(static_cast<uint8_t>(type[2])) << 8 | static_cast<uint8_t>(type[3]);
    // A load beyond the packet ends a filter with "drop": every offset read is
    // checked against the length first.
    constexpr uint32_t keep = 0xFFFFFFFF;
    constexpr uint32_t drop = 0;
    // On a UDP socket, bound to the port already, the filter sees the UDP
    // header and the payload.
    sock_filter udp[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_LEN, 0),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, udp_header_size + 4, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, udp_header_size),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, leading, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, drop),
        BPF_STMT(BPF_RET | BPF_K, keep),
    };
    // On the packet socket it sees the IPv4 header first, of 4 * IHL bytes.
    sock_filter ipv4[] = {
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),
        BPF_STMT(BPF_MISC | BPF_TXA, 0),
        BPF_STMT(BPF_ALU | BPF_ADD | BPF_K, udp_header_size + 4),
        BPF_STMT(BPF_MISC | BPF_TAX, 0),
        BPF_STMT(BPF_LD | BPF_W | BPF_LEN, 0),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_X, 0, 0, 9),
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, udp_protocol, 0, 6),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, port, 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_IND, udp_header_size),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, leading, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, drop),
        BPF_STMT(BPF_RET | BPF_K, keep),
        BPF_STMT(BPF_RET | BPF_K, keep),
    };
    sock_fprog program{};
    if (headers)
        program = {static_cast<unsigned short>(std::size(ipv4)), ipv4};
    else
        program = {static_cast<unsigned short>(std::size(udp)), udp};
    return set_option(socket, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
}

int datagram_drop_clear(int socket)
{
    const int unused = 0;
    return set_option(socket, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused);
}

const uint8_t *raw_udp_get_data(const uint8_t *packet)
{
    return packet + header_length(packet) + udp_header_size;
}

size_t raw_udp_get_data_size(const uint8_t *packet)
{
    return read16(packet + header_length(packet) + 4) - udp_header_size;
}

int raw_ipv4_get_sender_address(const uint8_t *packet, char *text)
{
    return inet_ntop(AF_INET, packet + 12, text, 16) == nullptr ? 1 : 0;
}
