#include "ipconf/libipconf.hpp"

#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "net/ip.hpp"
#include "net/socket.hpp"
#include "platform/product_info.hpp"
#include "util/tlv_ez.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr size_t receive_size = 8192;
constexpr clock_t idle_step = 100000; // clock units (microseconds) counted per idle poll

uint8_t receive_buffer[receive_size];

// A device record under construction; releases what it holds unless taken.
struct DeviceTexts {
    ipconf_device device{};
    ~DeviceTexts()
    {
        std::free(device.hostname);
        std::free(device.ip);
        std::free(device.product_id);
        std::free(device.product_name);
    }
    ipconf_device take()
    {
        ipconf_device taken = device;
        device = {};
        return taken;
    }
};

char *copy_or_empty(const char *text)
{
    return strdup(text != nullptr ? text : "");
}

// Appends text and a "," to the heap text at *addresses. false when memory
// runs out (*addresses unchanged).
bool append_address(char **addresses, const char *text)
{
    size_t used = std::strlen(*addresses);
    size_t length = std::strlen(text);
    auto *grown = static_cast<char *>(std::realloc(*addresses, used + length + 2));
    if (grown == nullptr)
        return false;
    std::memcpy(grown + used, text, length);
    grown[used + length] = ',';
    grown[used + length + 1] = '\0';
    *addresses = grown;
    return true;
}

// The record of one INFO datagram of `size` received bytes; false when it is
// not a complete INFO (or memory runs out), with nothing kept.
bool read_device(uint8_t *message, size_t size, ipconf_device &out)
{
    if (size < 8 || tlv_get_envelope_type(message) != "INFO"_tlv)
        return false;
    uint32_t declared = tlv_get_size(message);
    if (declared < 8 || declared > size) // a length that wrapped, or bytes never received
        return false;
    uint8_t *cursor = message;
    size_t avail = declared;
    product_info info{};
    uint8_t protocol = 0;
    if (ipconf_msg_parse_info(&cursor, &avail, &info, &protocol) != 0)
        return false;

    DeviceTexts record;
    record.device.hostname = copy_or_empty(info.host_name);
    record.device.product_name = copy_or_empty(info.product_name);
    record.device.product_id = copy_or_empty(info.product_id);
    record.device.ip = copy_or_empty(nullptr);
    if (record.device.hostname == nullptr || record.device.product_name == nullptr ||
        record.device.product_id == nullptr || record.device.ip == nullptr)
        return false;
    while (avail != 0) {
        interface_conf conf{};
        if (ipconf_msg_parse_get_interface_from_info(&cursor, &avail, &conf) != 0)
            return false;
        if (conf.ipv4 != nullptr && conf.ipv4[0] != '\0' && !append_address(&record.device.ip, conf.ipv4))
            return false;
    }
    size_t length = std::strlen(record.device.ip);
    if (length > 0 && record.device.ip[length - 1] == ',')
        record.device.ip[length - 1] = '\0';
    out = record.take();
    return true;
}

// A socket the browse can broadcast and receive INFO on: UDP over IPv4.
bool is_udp_socket(int socket)
{
    int domain = 0;
    int type = 0;
    socklen_t size = sizeof domain;
    if (getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0)
        return false;
    size = sizeof type;
    if (getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &size) != 0)
        return false;
    return domain == AF_INET && type == SOCK_DGRAM;
}

} // namespace

ipconf_device *ipconf_browse(int socket, int timeout)
{
    auto *list = static_cast<ipconf_device *>(std::calloc(1, sizeof(ipconf_device)));
    if (list == nullptr) {
        perror("malloc failed");
        return nullptr;
    }
    size_t count = 0;

    int own_socket = -1;
    if (socket < 0) {
        own_socket = socket = udp_socket_new(ORVANE_PORT, nullptr);
        if (socket < 0) {
            perror("ERROR: Can't create socket\n");
            return list;
        }
    } else if (!is_udp_socket(socket)) {
        // The daemon's socket in sleep mode is a packet socket: nothing to
        // broadcast through, nothing to collect.
        return list;
    }

    uint8_t *look = ipconf_msg_build_look();
    if (look == nullptr) {
        perror("Cannot build LOOK message");
        perror("ERROR: Can't send LOOK request\n");
    } else if (udp_send_broadcast(socket, ORVANE_PORT, look, tlv_get_size(look)) != 0) {
        perror("udp_send_broadcast failed");
        perror("ERROR: Can't send LOOK request\n");
        std::free(look);
    } else {
        std::free(look);
        // The processor clock stands still while the process sleeps, so every
        // idle poll counts its 0.1 s against the time-out explicitly.
        clock_t deadline = std::clock() + static_cast<clock_t>(timeout) * CLOCKS_PER_SEC;
        while (deadline >= std::clock()) {
            ssize_t received = recv(socket, receive_buffer, sizeof receive_buffer, MSG_DONTWAIT);
            if (received < 0 && errno == EAGAIN) {
                deadline -= idle_step;
                usleep(100000);
                continue;
            }
            if (received <= 0)
                break;
            ipconf_device device{};
            if (!read_device(receive_buffer, static_cast<size_t>(received), device))
                continue;
            // One more record plus the end marker.
            auto *grown = static_cast<ipconf_device *>(std::realloc(list, (count + 2) * sizeof(ipconf_device)));
            if (grown == nullptr) {
                perror("realloc failed");
                DeviceTexts drop{device};
                break;
            }
            list = grown;
            list[count++] = device;
            list[count] = ipconf_device{};
        }
    }
    if (own_socket >= 0)
        close(own_socket);
    return list;
}

void ipconf_free_device_list(ipconf_device *list)
{
    if (list == nullptr)
        return;
    for (ipconf_device *device = list; device->ip != nullptr; ++device) {
        std::free(device->ip);
        std::free(device->hostname);
        std::free(device->product_id);
        std::free(device->product_name);
    }
    std::free(list);
}
