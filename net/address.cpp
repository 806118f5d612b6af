#include "net/address.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <int (*convert)(int)>
void convert_in_place(char *text)
{
    if (text == nullptr)
        return;
    for (; *text != '\0'; ++text)
        *text = static_cast<char>(convert(static_cast<unsigned char>(*text)));
}

// Both families keep the port at the same offset (right after the family).
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(sockaddr_in6, sin6_port));
static_assert(sizeof(sockaddr_storage) == 128);
static_assert(sizeof(sockaddr_un) == 110);

} // namespace

sockaddr_storage *ip_address_new(const char *node, uint16_t port)
{
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_V4MAPPED | AI_ADDRCONFIG;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *answers = nullptr;
    int rc = getaddrinfo(node, "", &hints, &answers);
    if (rc != 0) {
        if (rc != EAI_SYSTEM)
            errno = EINVAL;
        std::perror("getaddrinfo failed");
        return nullptr;
    }
    auto *address = static_cast<sockaddr_storage *>(std::malloc(sizeof(sockaddr_storage)));
    if (address == nullptr) {
        freeaddrinfo(answers);
        std::perror("malloc failed");
        return nullptr;
    }
    std::memset(address, 0, sizeof *address);
    std::memcpy(address, answers->ai_addr, answers->ai_addrlen);
    address->ss_family = static_cast<sa_family_t>(answers->ai_family);
    freeaddrinfo(answers);
    if (ip_address_port_set(address, port) != 0) {
        std::free(address);
        return nullptr;
    }
    return address;
}

int ip_address_port_set(sockaddr_storage *address, uint16_t port)
{
    if (address->ss_family != AF_INET && address->ss_family != AF_INET6) {
        errno = EAFNOSUPPORT;
        std::perror("set port failed");
        return -1;
    }
    reinterpret_cast<sockaddr_in *>(address)->sin_port = htons(port);
    return 0;
}

int ip_address_get(const sockaddr_storage *address, char *text, uint16_t *port)
{
    const char *converted = nullptr;
    if (address->ss_family == AF_INET)
        converted = inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, text, 16);
    else if (address->ss_family == AF_INET6)
        converted = inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr, text, 46);
    else {
        errno = EAFNOSUPPORT;
        std::perror("get address/port failed");
        return -1;
    }
    if (port != nullptr)
        *port = ntohs(reinterpret_cast<const sockaddr_in *>(address)->sin_port);
    if (converted == nullptr) {
        std::perror("inet_ntop failed");
        return -1;
    }
    return 0;
}

sockaddr_un *unix_generic_address_new(const char *name, int abstract)
{
    const size_t offset = abstract ? 1 : 0;
    const size_t length = std::strlen(name);
    if (length >= sizeof(sockaddr_un::sun_path) - offset) {
        errno = ENAMETOOLONG;
        std::perror("invalid unix address");
        return nullptr;
    }
    auto *address = static_cast<sockaddr_un *>(std::malloc(sizeof(sockaddr_un)));
    if (address == nullptr) {
        std::perror("malloc failed");
        return nullptr;
    }
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path + offset, name, length + 1);
    return address;
}

sockaddr_un *unix_address_new(const char *path)
{
    return unix_generic_address_new(path, 0);
}

sockaddr_un *unix_abstract_address_new(const char *name)
{
    return unix_generic_address_new(name, 1);
}

socklen_t unix_address_length_get(const sockaddr_un *address)
{
    if (address->sun_path[0] != '\0')
        return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                      strnlen(address->sun_path, sizeof address->sun_path));
    return sizeof(sockaddr_un);
}

void string_to_upper(char *text)
{
    convert_in_place<std::toupper>(text);
}

void string_to_lower(char *text)
{
    convert_in_place<std::tolower>(text);
}
