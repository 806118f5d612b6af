#include "net/socket.hpp"

#include "net/address.hpp"
#include "util/owned.hpp"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int ip_socket_new(int type, uint16_t port, const char *device)
{
    malloc_ptr<sockaddr_storage> address(ip_address_new(nullptr, port));
    if (!address)
        return -1;
    owned_fd fd(socket(address->ss_family, type, 0));
    if (fd.get() < 0) {
        std::perror("ip socket failed");
        return -1;
    }
    int on = 1;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        std::perror("set socket options failed");
        return -1;
    }
    if (device != nullptr) {
        ifreq request{};
        if (std::strlen(device) >= sizeof request.ifr_name) {
            errno = ENAMETOOLONG;
            std::perror("bind to device failed");
            return -1;
        }
        std::strcpy(request.ifr_name, device);
        if (setsockopt(fd.get(), SOL_SOCKET, SO_BINDTODEVICE, &request, sizeof request) != 0) {
            std::perror("bind to device failed");
            return -1;
        }
    }
    if (port != 0 && bind(fd.get(), reinterpret_cast<sockaddr *>(address.get()), sizeof(sockaddr_storage)) != 0) {
        std::perror("bind to port failed");
        return -1;
    }
    return fd.release();
}

int udp_socket_new(uint16_t port, const char *device)
{
    return ip_socket_new(SOCK_DGRAM, port, device);
}

int tcp_socket_new(uint16_t port, const char *device)
{
    return ip_socket_new(SOCK_STREAM, port, device);
}

int raw_socket_new(int cooked)
{
    int fd = cooked ? socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP)) : socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    if (fd < 0)
        std::perror("raw socket failed");
    return fd;
}

int raw_send_socket_new()
{
    const int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        std::perror("raw socket failed");
    return fd;
}

int unix_socket_new(int type, const char *name)
{
    owned_fd fd(socket(AF_UNIX, type, 0));
    if (fd.get() < 0) {
        std::perror("unix socket failed");
        return -1;
    }
    malloc_ptr<sockaddr_un> address(unix_abstract_address_new(name));
    if (!address)
        return -1;
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(address.get()), unix_address_length_get(address.get())) != 0) {
        const int reason = errno; // EADDRINUSE tells the caller that somebody holds the name
        std::perror("bind to unix path failed");
        errno = reason;
        return -1;
    }
    return fd.release();
}

void select_set_zero(select_set *set)
{
    set->highest = 0;
    FD_ZERO(&set->read);
    FD_ZERO(&set->write);
    FD_ZERO(&set->except);
}

void socket_add(int fd, select_set *set)
{
    // FD_SET outside the set's bit array would write past the record.
    if (fd < 0 || fd >= FD_SETSIZE)
        return;
    if (fd > set->highest)
        set->highest = fd;
    FD_SET(fd, &set->read);
    FD_SET(fd, &set->except);
}

void socket_remove(int fd, select_set *set)
{
    if (fd < 0 || fd >= FD_SETSIZE)
        return;
    FD_CLR(fd, &set->read);
    FD_CLR(fd, &set->write);
    FD_CLR(fd, &set->except);
}
