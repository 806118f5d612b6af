// Questions to the kernel about the network interfaces (SIOCGIFCONF and the
// per-interface ioctls), each answer turned into text; and the list of every
// link, also those without an IPv4 address, for what must work on a device
// that has none (raw broadcasts, the PUID).
// Ownership: the caller owns the ioctl socket from if_new (close it) and the
// buffer of an interface list (free list->ifc_buf, also after a failed fill).
// Reporting: this layer prints each failure through perror (errno set) and
// logs nothing; a caller's syslog line says what the program does next.
#pragma once

#include <net/if.h>

#include <cstdint>
#include <vector>

// ioctl socket (AF_INET datagram), or the negative socket result after
// perror "socket failed".
[[nodiscard]] int if_new();

// Fills the list with one 40-byte entry per IPv4 address, growing the buffer
// (240, 480, ... bytes) until an entry's room is left over. -1 after perror
// "realloc failed" or "SIOCGIFCONF failed". Starts from a null buffer.
[[nodiscard]] int if_list_get(int socket, ifconf *list);

[[nodiscard]] int if_list_count_get(const ifconf *list);

// Name of entry n (from 1), inside the list buffer.
[[nodiscard]] char *if_name_get(const ifconf *list, int n);

// 1 if entry n is up and not loopback, 0 if not, -1 if its flags could not be
// read. The flags are queried on the entry's own record.
[[nodiscard]] int if_is_up(int socket, ifconf *list, int n);

// Writes the first up non-loopback interface's name, else the first
// non-loopback one, else the empty text (name: 16 bytes). -1 if a flags query
// failed.
[[nodiscard]] int if_first_up_get(int socket, ifconf *list, char *name);

// if_first_up_get over a fresh socket and list; -1 also when no name was
// chosen.
[[nodiscard]] int if_main_get(char *name);

// By-name queries; a name longer than 15 characters fails before any ioctl.
[[nodiscard]] int if_address_get(int socket, const char *name, char *text);
[[nodiscard]] int if_netmask_get(int socket, const char *name, char *text);
// MAC text "0A:1B:2C:3D:4E:5F" (text: 18 bytes).
[[nodiscard]] int if_mac_get(int socket, const char *name, char *text);
[[nodiscard]] int if_flags_get(int socket, const char *name, uint16_t *flags);

// Every output given (null = not asked) is queried even after a failure; a
// text whose query failed is left empty. 0 if every query succeeded.
[[nodiscard]] int if_all_get(int socket, const char *name, char *address, char *netmask, char *mac, uint16_t *flags);

// Copies the name into a request record's name field; -1 with ENAMETOOLONG
// and perror "interface request failed" for more than 15 characters.
[[nodiscard]] int if_name_set(char *field, const char *name);

// Queries on a prepared request record.
[[nodiscard]] int ifr_flags_get(int socket, ifreq *record, uint16_t *flags);
[[nodiscard]] int ifr_ip_get(int socket, ifreq *record, unsigned long request, const char *message, char *text);
[[nodiscard]] int ifr_mac_get(int socket, ifreq *record, char *text);

// One link of the kernel's, with or without an address.
struct if_link {
    unsigned int index;
    char name[IFNAMSIZ];
    uint16_t flags;
    char mac[18]; // MAC text; empty when the link has no Ethernet address
};

// Every link in the kernel's order (by interface index), with its flags and
// MAC. A link that vanishes while it is queried is left out; one whose flags
// cannot be read otherwise counts as up and broadcast-capable, after perror
// "SIOCGIFFLAGS failed". -1 after perror "if_nameindex failed" or "malloc
// failed".
[[nodiscard]] int if_links_get(int socket, std::vector<if_link> &links);

// Whether a broadcast frame may leave on the link: up, broadcast-capable and
// not loopback.
[[nodiscard]] bool if_link_can_broadcast(const if_link &link);

// MAC text (18 bytes) of the link the device is known by: the first link in
// the kernel's order that can broadcast and has an Ethernet address; failing
// that, the first such link that is down. -1 when none qualifies or the
// links could not be read.
[[nodiscard]] int if_device_mac_get(int socket, char *mac);

// A socket that becomes readable when a link or an IPv4 address of this
// host changes (rtnetlink events: link state, addresses added or removed).
// Non-blocking; -1 after perror "socket failed" or "bind failed".
[[nodiscard]] int if_watch_open();

// Reads every event waiting on the watch socket without blocking: 1 when
// anything changed (also when the kernel dropped events for want of room),
// 0 when nothing was waiting.
[[nodiscard]] int if_watch_changed(int socket);
