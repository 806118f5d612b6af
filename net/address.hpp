// IPv4/IPv6 and unix socket addresses, and the text case helpers used on
// PUID and MAC texts.
// Ownership: every address returned here is a malloc block that the caller
// releases with free.
// Reporting: this layer prints each failure through perror (errno set) and
// logs nothing; a caller's syslog line says what the program does next.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>

// New IP address (a 128-byte sockaddr_storage) for a numeric host text, or
// the passive wildcard when node is null, with the port (host order) set.
// Null after perror "getaddrinfo failed" or "malloc failed".
[[nodiscard]] sockaddr_storage *ip_address_new(const char *node, uint16_t port);

// Stores the port (host order) in network order. -1 with EAFNOSUPPORT and
// perror "set port failed" when the family is neither AF_INET nor AF_INET6.
[[nodiscard]] int ip_address_port_set(sockaddr_storage *address, uint16_t port);

// Writes the numeric address text (16 bytes for IPv4, 46 for IPv6) and, when
// port is given, the port in host order. -1 after perror "get address/port
// failed" (EAFNOSUPPORT, nothing written) or "inet_ntop failed".
[[nodiscard]] int ip_address_get(const sockaddr_storage *address, char *text, uint16_t *port);

// New unix address: path form (abstract 0) or abstract form (abstract 1, the
// name after a leading NUL), all other bytes zero. Null after perror
// "invalid unix address" (ENAMETOOLONG: more than 107 path or 106 abstract
// characters) or "malloc failed".
[[nodiscard]] sockaddr_un *unix_generic_address_new(const char *name, int abstract);
[[nodiscard]] sockaddr_un *unix_address_new(const char *path);
[[nodiscard]] sockaddr_un *unix_abstract_address_new(const char *name);

// Length to bind or connect with: 2 + path length for the path form, the
// whole 110-byte record for the abstract form.
[[nodiscard]] socklen_t unix_address_length_get(const sockaddr_un *address);

// Converts a NUL-terminated text in place with toupper; null is accepted.
void string_to_upper(char *text);

// Converts a NUL-terminated text in place with tolower; null is accepted.
void string_to_lower(char *text);
