// One network interface's configuration, in an owned form (every text a
// zero-filled heap buffer of the record's sizes, released by
// free_interface_conf) or a view form (texts null or pointing into a received
// message). A record whose buffers could not all be allocated has every text
// null and is never written to; interface_conf_has_buffers tells the two apart.
#pragma once

#include "util/list.hpp"

#include <cstdint>

inline constexpr int INTERFACE_CONF_NAME_SIZE = 16;
inline constexpr int INTERFACE_CONF_MAC_SIZE = 18;
inline constexpr int INTERFACE_CONF_ADDRESS_SIZE = 46;

// The numbers as they travel in ROLE, STAT and MODE; the last of each means
// not set.
inline constexpr int32_t INTERFACE_ROLE_NOT_SET = 3;
enum interface_link : int32_t { LINK_DOWN = 0, LINK_UP = 1, LINK_STATE_NOT_SET = 2 };
enum ipv4_method : int32_t { IPV4_STATIC = 0, IPV4_DHCP = 2, IPV4_MODE_NOT_SET = 3 };

struct interface_conf {
    char *name; // 16 bytes when owned
    char *mac;  // 18 bytes: "%02X:%02X:%02X:%02X:%02X:%02X"
    int32_t role;
    int32_t link_state; // interface_link
    int32_t ipv4_mode;  // ipv4_method
    char *ipv4;         // this and the following: 46 bytes when owned
    char *netmask;
    char *gateway;
    char *broadcast;
    char *dns;
    char *wins;
};

// Makes conf an owned record with empty texts and the not-set numbers. When a
// buffer cannot be allocated ("malloc failed" through perror) every text is
// left null.
void init_interface_conf(interface_conf *conf);
// True when conf is an owned record with all its buffers.
[[nodiscard]] bool interface_conf_has_buffers(const interface_conf *conf);
// Empties every text and restores the not-set numbers; buffers stay.
void reset_interface_conf(interface_conf *conf);
// Releases the text buffers (not the record) and leaves the texts null.
void free_interface_conf(interface_conf *conf);
// Copies src (either form) into the owned dst: non-null texts truncated to
// the buffer and NUL-terminated, null texts leave dst's as they were, the
// numbers always. -1 (nothing written) when dst has no buffers.
int copy_interface_conf(interface_conf *dst, const interface_conf *src);
// Appends an owned copy of src to the list, which owns it from then on.
[[nodiscard]] interface_conf *interface_conf_add(list *confs, const interface_conf *src);
// Releases every record of the list; the list stays, empty.
void interface_conf_remove_all(list *confs);
