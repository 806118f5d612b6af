// UDP datagrams to the limited broadcast address 255.255.255.255: through a
// UDP socket, or as IPv4/UDP packets built here and sent on a cooked packet
// socket on every up link (for a device without an IP address); and the
// check of such packets received on a packet socket.
// Ownership: payloads and packets stay the caller's.
// Reporting: this layer prints each failure through perror (errno set) and
// logs nothing; a caller's syslog line says what the program does next.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/socket.h>
#include <sys/types.h>

// Size of the IPv4 header (20) and UDP header (8) that precede the payload.
inline constexpr size_t raw_udp_header_size = 28;

// sendto 255.255.255.255:port on a UDP socket allowing broadcast. The
// destination is made once and kept for the process's life. 0 when bytes were
// sent; -1 after perror "sendto failed" (or the address's own message).
[[nodiscard]] int udp_send_broadcast(int socket, uint16_t port, const void *payload, size_t size);

// Builds one IPv4/UDP broadcast packet (source 0.0.0.0:0) and sends it to
// ff:ff:ff:ff:ff:ff once on every link that can broadcast (if_link_can_broadcast),
// with or without an address; a failed send does not stop the others. 0 when
// every send succeeded (also when none qualified); -1 when the packet could
// not be built (perror "malloc failed"; EMSGSIZE beyond 65507 payload bytes),
// the links could not be read, or any send failed.
[[nodiscard]] int raw_send_udp_broadcast(int socket, uint16_t port, const void *payload, size_t size);

// sendto on a packet socket, to the given interface and hardware address
// (6 bytes; null = broadcast). -1 after perror "sendto failed".
[[nodiscard]] int raw_send(int socket, int ifindex, const uint8_t *hardware, const void *packet, size_t size);

// Fills bytes 0..27 of packet (payload already at offset 28) with the
// broadcast IPv4 and UDP headers and both checksums.
void raw_udp_set_broadcast_header(uint8_t *packet, uint16_t port, size_t size);

// IPv4 header checksum over (byte 0 & 0x0F) * 4 bytes, the stored checksum
// counted as 0; host order.
[[nodiscard]] uint16_t checksum_ip(const uint8_t *packet);

// UDP checksum with the pseudo-header, over the UDP length (field at udp + 4)
// bytes from udp, the stored checksum counted as 0; 0 is given as 0xFFFF.
[[nodiscard]] uint16_t checksum_udp(const uint8_t *packet, const uint8_t *udp);

// 0 when length bytes hold an IPv4/UDP packet to the port with a header of
// at least 20 bytes, correct checksums and a UDP length up to what was
// received; else -1. Never reads beyond length bytes.
[[nodiscard]] int raw_udp_check(const uint8_t *packet, size_t length, uint16_t port);

// raw_udp_check for a packet whose kernel status (TP_STATUS_* bits, see
// raw_recv) is known: the UDP checksum is not compared when the kernel has
// not filled it in yet (a packet of this host, TP_STATUS_CSUMNOTREADY) or has
// verified it already (TP_STATUS_CSUM_VALID). A packet that carries a wrong
// checksum is still refused.
[[nodiscard]] int raw_udp_check_status(const uint8_t *packet, size_t length, uint16_t port, uint32_t status);

// Asks the kernel for the status of every packet a packet socket receives
// (PACKET_AUXDATA). 0, or -1 after perror "set socket options failed".
[[nodiscard]] int raw_socket_want_status(int socket);

// recv on a packet socket; *status gets the packet's TP_STATUS_* bits (0 when
// the kernel did not say). The result as recv gives it.
[[nodiscard]] ssize_t raw_recv(int socket, uint8_t *buffer, size_t size, uint32_t *status);

// One datagram of a batch: the caller's buffer, and what the kernel said of
// what it put there.
struct datagram_slot {
    uint8_t *buffer;
    size_t size;             // room in buffer
    sockaddr_storage sender; // its source, on a UDP socket
    size_t length;           // bytes received, at most size
    uint32_t status;         // TP_STATUS_* bits, on a packet socket asking for them; else 0
    alignas(8) uint8_t control[64];
};

// Reads what is queued on the socket, at most count datagrams, without
// waiting for more (one recvmmsg): a flood costs one call per batch, not
// per datagram. The number read; 0 when nothing was queued; -1 on a failure
// (errno set, nothing printed).
[[nodiscard]] int datagrams_recv(int socket, datagram_slot *slots, unsigned count);

// Has the kernel drop, before it queues them, the datagrams to `port` whose
// payload begins with the four bytes of `type` (a message type such as
// "LOOK"), on a UDP socket (headers = false) or on a cooked packet socket
// that receives whole IPv4 packets (headers = true). Whatever is shorter or
// different passes. 0, or -1 after perror "set socket options failed".
[[nodiscard]] int datagram_drop_set(int socket, bool headers, uint16_t port, const char (&type)[5]);

// Lets everything pass again. 0, or -1 after perror "set socket options
// failed".
[[nodiscard]] int datagram_drop_clear(int socket);

// Accessors of a packet accepted by raw_udp_check.
[[nodiscard]] const uint8_t *raw_udp_get_data(const uint8_t *packet);
[[nodiscard]] size_t raw_udp_get_data_size(const uint8_t *packet);
// Dotted source address into a 16-byte text: 0, or 1 when it failed.
[[nodiscard]] int raw_ipv4_get_sender_address(const uint8_t *packet, char *text);
