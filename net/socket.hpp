// Sockets of the daemon (UDP/TCP on the wildcard address, link-layer packet
// sockets, abstract unix sockets) and the select set through which every
// module tells the main loop which descriptors to watch.
// Ownership: the caller closes every descriptor returned; a failed call
// leaves nothing open. Reporting: this layer prints each failure through perror (errno set) and
// logs nothing; a caller's syslog line says what the program does next.
#pragma once

#include <sys/select.h>

#include <cstdint>

// Socket of the given type (SOCK_DGRAM or SOCK_STREAM) on the wildcard
// address with SO_BROADCAST, tied to the device when one is named (at most 15
// characters) and bound to the port unless it is 0. -1 after perror "ip socket
// failed", "set socket options failed", "bind to device failed" (ENAMETOOLONG
// for a long name) or "bind to port failed". Never sets SO_REUSEADDR.
[[nodiscard]] int ip_socket_new(int type, uint16_t port, const char *device);
[[nodiscard]] int udp_socket_new(uint16_t port, const char *device);
// Neither listens nor connects.
[[nodiscard]] int tcp_socket_new(uint16_t port, const char *device);

// Packet socket bound to no interface: cooked (non-zero) is AF_PACKET
// SOCK_DGRAM for IPv4 frames; zero is SOCK_RAW for every protocol. -1 after
// perror "raw socket failed".
[[nodiscard]] int raw_socket_new(int cooked);

// Cooked packet socket bound to no protocol: it only sends (each send names
// its protocol) and receives nothing, so no queue fills up behind it. -1
// after perror "raw socket failed".
[[nodiscard]] int raw_send_socket_new();

// AF_UNIX socket of the type bound to the abstract address of the name; does
// not listen. -1 after perror "unix socket failed", "bind to unix path
// failed" (errno EADDRINUSE: another socket holds the name) or the address's
// own message.
[[nodiscard]] int unix_socket_new(int type, const char *name);

// The descriptors the servers watch. The write set is never filled; it is
// handed to select all the same.
struct select_set {
    int highest; // largest descriptor ever added, never lowered
    fd_set read;
    fd_set write;
    fd_set except;
};

// Empties the set: highest descriptor 0, all three sets cleared.
void select_set_zero(select_set *set);

// Adds the descriptor to the read and exception sets and raises the highest
// descriptor. A descriptor at or above FD_SETSIZE is ignored.
void socket_add(int fd, select_set *set);

// Removes the descriptor from all three sets; the highest descriptor stays.
void socket_remove(int fd, select_set *set);
