#include "net/if.hpp"

#include "net/address.hpp"
#include "util/owned.hpp"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr int entry_size = sizeof(ifreq);
static_assert(entry_size == 40);

ifreq *entry(const ifconf *list, int n)
{
    return reinterpret_cast<ifreq *>(list->ifc_buf + static_cast<std::ptrdiff_t>(n - 1) * entry_size);
}

void format_mac(const unsigned char *bytes, char *text)
{
    std::snprintf(text, 18, "%02X:%02X:%02X:%02X:%02X:%02X", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
                  bytes[5]);
}

struct name_index_deleter {
    void operator()(struct if_nameindex *names) const { if_freenameindex(names); }
};

// Flags and MAC of one listed link; false when it vanished meanwhile.
bool query_link(int socket, if_link &link)
{
    ifreq record{};
    std::memcpy(record.ifr_name, link.name, IFNAMSIZ);
    if (ioctl(socket, SIOCGIFFLAGS, &record) != 0) {
        if (errno == ENODEV)
            return false;
        std::perror("SIOCGIFFLAGS failed");
        link.flags = IFF_UP | IFF_BROADCAST;
    } else {
        link.flags = static_cast<uint16_t>(record.ifr_flags);
    }
    link.mac[0] = '\0';
    if (ioctl(socket, SIOCGIFHWADDR, &record) != 0)
        return errno != ENODEV;
    const auto *bytes = reinterpret_cast<const unsigned char *>(record.ifr_hwaddr.sa_data);
    // A link of another kind, or a MAC of zeros, names no device.
    if (record.ifr_hwaddr.sa_family == ARPHRD_ETHER && std::any_of(bytes, bytes + 6, [](auto b) { return b != 0; }))
        format_mac(bytes, link.mac);
    return true;
}

} // namespace

int if_new()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        std::perror("socket failed");
    return fd;
}

int if_list_get(int socket, ifconf *list)
{
    list->ifc_buf = nullptr;
    int size = 120;
    for (;;) {
        size *= 2;
        void *grown = std::realloc(list->ifc_buf, static_cast<size_t>(size));
        if (grown == nullptr) {
            std::perror("realloc failed");
            return -1;
        }
        list->ifc_buf = static_cast<char *>(grown);
        list->ifc_len = size;
        if (ioctl(socket, SIOCGIFCONF, list) != 0) {
            std::perror("SIOCGIFCONF failed");
            return -1;
        }
        // A buffer that came back full may have been cut short.
        if (size >= list->ifc_len + entry_size)
            return 0;
    }
}

int if_list_count_get(const ifconf *list)
{
    return list->ifc_len / entry_size;
}

char *if_name_get(const ifconf *list, int n)
{
    return entry(list, n)->ifr_name;
}

int if_is_up(int socket, ifconf *list, int n)
{
    uint16_t flags = 0;
    if (ifr_flags_get(socket, entry(list, n), &flags) != 0)
        return -1;
    return (flags & IFF_UP) && !(flags & IFF_LOOPBACK) ? 1 : 0;
}

int if_first_up_get(int socket, ifconf *list, char *name)
{
    name[0] = '\0';
    const int count = if_list_count_get(list);
    for (int n = 1; n <= count; ++n) {
        uint16_t flags = 0;
        ifreq *record = entry(list, n);
        if (ifr_flags_get(socket, record, &flags) != 0)
            return -1;
        if (flags & IFF_LOOPBACK)
            continue;
        if (flags & IFF_UP) {
            std::memcpy(name, record->ifr_name, IFNAMSIZ);
            name[IFNAMSIZ - 1] = '\0';
            return 0;
        }
        if (name[0] == '\0') {
            std::memcpy(name, record->ifr_name, IFNAMSIZ);
            name[IFNAMSIZ - 1] = '\0';
        }
    }
    return 0;
}

int if_main_get(char *name)
{
    ioctl_session session;
    session.fd.reset(if_new());
    if (!session.fd || if_list_get(session.fd.get(), &session.list) != 0 ||
        if_first_up_get(session.fd.get(), &session.list, name) != 0)
        return -1;
    return name[0] == '\0' ? -1 : 0;
}

int if_address_get(int socket, const char *name, char *text)
{
    ifreq record{};
    if (if_name_set(record.ifr_name, name) != 0)
        return -1;
    return ifr_ip_get(socket, &record, SIOCGIFADDR, "SIOCGIFADDR failed", text);
}

int if_netmask_get(int socket, const char *name, char *text)
{
    ifreq record{};
    if (if_name_set(record.ifr_name, name) != 0)
        return -1;
    return ifr_ip_get(socket, &record, SIOCGIFNETMASK, "SIOCGIFNETMASK failed", text);
}

int if_mac_get(int socket, const char *name, char *text)
{
    ifreq record{};
    if (if_name_set(record.ifr_name, name) != 0)
        return -1;
    return ifr_mac_get(socket, &record, text);
}

int if_flags_get(int socket, const char *name, uint16_t *flags)
{
    ifreq record{};
    if (if_name_set(record.ifr_name, name) != 0)
        return -1;
    return ifr_flags_get(socket, &record, flags);
}

int if_all_get(int socket, const char *name, char *address, char *netmask, char *mac, uint16_t *flags)
{
    ifreq record{};
    if (if_name_set(record.ifr_name, name) != 0)
        return -1;
    int result = 0;
    if (address != nullptr) {
        address[0] = '\0';
        if (ifr_ip_get(socket, &record, SIOCGIFADDR, "SIOCGIFADDR failed", address) != 0)
            result = -1;
    }
    if (netmask != nullptr) {
        netmask[0] = '\0';
        if (ifr_ip_get(socket, &record, SIOCGIFNETMASK, "SIOCGIFNETMASK failed", netmask) != 0)
            result = -1;
    }
    if (mac != nullptr) {
        mac[0] = '\0';
        if (ifr_mac_get(socket, &record, mac) != 0)
            result = -1;
    }
    if (flags != nullptr && ifr_flags_get(socket, &record, flags) != 0)
        result = -1;
    return result;
}

int if_name_set(char *field, const char *name)
{
    const size_t length = strnlen(name, IFNAMSIZ);
    if (length >= IFNAMSIZ) {
        errno = ENAMETOOLONG;
        std::perror("interface request failed");
        return -1;
    }
    std::memcpy(field, name, length + 1);
    return 0;
}

int ifr_flags_get(int socket, ifreq *record, uint16_t *flags)
{
    if (ioctl(socket, SIOCGIFFLAGS, record) != 0) {
        std::perror("SIOCGIFFLAGS failed");
        return -1;
    }
    *flags = static_cast<uint16_t>(record->ifr_flags);
    return 0;
}

int ifr_ip_get(int socket, ifreq *record, unsigned long request, const char *message, char *text)
{
    if (ioctl(socket, request, record) != 0) {
        std::perror(message);
        return -1;
    }
    sockaddr_storage address{};
    std::memcpy(&address, &record->ifr_addr, sizeof record->ifr_addr);
    return ip_address_get(&address, text, nullptr);
}

int ifr_mac_get(int socket, ifreq *record, char *text)
{
    if (ioctl(socket, SIOCGIFHWADDR, record) != 0) {
        std::perror("SIOCGIFHWADDR failed");
        return -1;
    }
    format_mac(reinterpret_cast<const unsigned char *>(record->ifr_hwaddr.sa_data), text);
    return 0;
}

int if_links_get(int socket, std::vector<if_link> &links)
{
    links.clear();
    const std::unique_ptr<struct if_nameindex, name_index_deleter> names(if_nameindex());
    if (!names) {
        std::perror("if_nameindex failed");
        return -1;
    }
    try {
        for (const struct if_nameindex *listed = names.get(); listed->if_index != 0; ++listed) {
            if_link link{};
            link.index = listed->if_index;
            if (std::strlen(listed->if_name) >= IFNAMSIZ)
                continue;
            std::strcpy(link.name, listed->if_name);
            if (query_link(socket, link))
                links.push_back(link);
        }
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        std::perror("malloc failed");
        return -1;
    }
    std::sort(links.begin(), links.end(), [](const if_link &a, const if_link &b) { return a.index < b.index; });
    return 0;
}

bool if_link_can_broadcast(const if_link &link)
{
    return (link.flags & IFF_UP) && (link.flags & IFF_BROADCAST) && !(link.flags & IFF_LOOPBACK);
}

int if_device_mac_get(int socket, char *mac)
{
    std::vector<if_link> links;
    if (if_links_get(socket, links) != 0)
        return -1;
    const if_link *chosen = nullptr;
    for (const if_link &link : links) {
        if (link.mac[0] == '\0' || (link.flags & IFF_LOOPBACK) || !(link.flags & IFF_BROADCAST))
            continue;
        if (link.flags & IFF_UP) {
            chosen = &link;
            break;
        }
        if (chosen == nullptr)
            chosen = &link;
    }
    if (chosen == nullptr)
        return -1;
    std::memcpy(mac, chosen->mac, sizeof chosen->mac);
    return 0;
}

int if_watch_open()
{
    owned_fd fd(socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd) {
        std::perror("socket failed");
        return -1;
    }
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&groups), sizeof groups) != 0) {
        std::perror("bind failed");
        return -1;
    }
    return fd.release();
}

int if_watch_changed(int socket)
{
    // What an event says does not matter, only that one came.
    alignas(nlmsghdr) char events[4096];
    // A host whose links never stop changing is answered as changed.
    for (int reads = 0; reads < 64; ++reads) {
        const ssize_t got = recv(socket, events, sizeof events, MSG_DONTWAIT);
        if (got <= 0 && !(got < 0 && errno == ENOBUFS))
            return reads == 0 ? 0 : 1;
    }
    return 1;
}
