// Questions to the kernel about the network interfaces (SIOCGIFCONF and the
// per-interface ioctls), each answer turned into text.
// Ownership: the caller owns the ioctl socket from if_new (close it) and the
// buffer of an interface list (free list->ifc_buf, also after a failed fill).
// Reporting: this layer prints each failure through perror (errno set) and
// logs nothing; a caller's syslog line says what the program does next.
#pragma once

#include <net/if.h>

#include <cstdint>

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
