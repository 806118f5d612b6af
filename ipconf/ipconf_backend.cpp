#include "ipconf/ipconf_backend.hpp"

#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "net/if.hpp"
#include "platform/cendrix_comm.hpp"
#include "platform/net_conf.hpp"
#include "platform/product_info.hpp"
#include "util/list.hpp"
#include "util/owned.hpp"
#include "util/tlv.hpp"
#include "util/tlv_ez.hpp"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <net/if.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr int PENDING_TIMEOUT_SECONDS = 40;
constexpr size_t HOST_NAME_SIZE = 64;
constexpr size_t ADDRESS_SIZE = 46;

struct pending_request {
    char host_name[HOST_NAME_SIZE];
    list *interfaces;
};

pending_request pending_conf = {{}, nullptr};
interface_conf current_conf = {};
char configurator_address[ADDRESS_SIZE] = "";
int has_pending_conf = 0;

// Empties the request but keeps the list for the next one.
void forget_request()
{
    pending_conf.host_name[0] = '\0';
    if (pending_conf.interfaces != nullptr)
        interface_conf_remove_all(pending_conf.interfaces);
}

// A requested text is compared only when the request sets it.
bool text_differs(const char *requested, const char *current, size_t size)
{
    return requested != nullptr && requested[0] != '\0' && std::strncmp(requested, current, size) != 0;
}

bool interface_differs(const interface_conf *requested, const interface_conf *current)
{
    if (requested->role != INTERFACE_ROLE_NOT_SET && requested->role != current->role)
        return true;
    if (requested->link_state != LINK_STATE_NOT_SET && requested->link_state != current->link_state)
        return true;
    if (requested->ipv4_mode != IPV4_MODE_NOT_SET && requested->ipv4_mode != current->ipv4_mode)
        return true;
    return text_differs(requested->mac, current->mac, INTERFACE_CONF_MAC_SIZE) ||
           text_differs(requested->ipv4, current->ipv4, ADDRESS_SIZE) ||
           text_differs(requested->netmask, current->netmask, ADDRESS_SIZE) ||
           text_differs(requested->gateway, current->gateway, ADDRESS_SIZE) ||
           text_differs(requested->dns, current->dns, ADDRESS_SIZE) ||
           text_differs(requested->wins, current->wins, ADDRESS_SIZE);
}

// Reads the configuration the service now applies to the interface with the
// requested MAC into current_conf and compares. True when it matches.
bool interface_applied(const interface_conf *requested)
{
    reset_interface_conf(&current_conf);
    char name[IFNAMSIZ] = "";
    if (cendrix_get_interface_name(requested->mac, name) != 0) {
        syslog(LOG_ERR, "cannot get interface name");
        return false;
    }
    if (!interface_conf_has_buffers(&current_conf) || cendrix_get_interface_conf(name, &current_conf) != 0) {
        syslog(LOG_ERR, "cannot get interface configuration from Cendrix");
        return false;
    }
    return !interface_differs(requested, &current_conf);
}

// Closes the enumeration on every way out of a walk.
struct enumeration_guard {
    ~enumeration_guard() { interface_conf_list_close(); }
};

} // namespace

int set_timeout(int seconds)
{
    itimerval timer = {};
    timer.it_value.tv_sec = seconds;
    return setitimer(ITIMER_REAL, &timer, nullptr);
}

int ipconf_open_pending_conf()
{
    pending_conf.host_name[0] = '\0';
    pending_conf.interfaces = list_new();
    if (pending_conf.interfaces == nullptr) {
        syslog(LOG_ERR, "cannot create interface list for pending_conf");
        return -1;
    }
    init_interface_conf(&current_conf);
    return 0;
}

void ipconf_close_pending_conf()
{
    if (pending_conf.interfaces != nullptr) {
        interface_conf_remove_all(pending_conf.interfaces);
        list_free(pending_conf.interfaces);
        pending_conf.interfaces = nullptr;
    }
    free_interface_conf(&current_conf);
    pending_conf.host_name[0] = '\0';
    has_pending_conf = 0;
}

int ipconf_set_pending_conf(uint8_t *message, size_t size, const char *address)
{
    uint8_t *cursor = message;
    size_t avail = size;
    conf_auth auth = {};
    char *host_name = nullptr;
    if (ipconf_msg_parse_conf(&cursor, &avail, &auth, &host_name) != 0) {
        syslog(LOG_ERR, "cannot parse conf message when setting pending_conf");
        return -1;
    }
    forget_request();
    if (host_name != nullptr)
        std::snprintf(pending_conf.host_name, sizeof pending_conf.host_name, "%s", host_name);
    while (avail != 0) {
        interface_conf entry = {};
        if (ipconf_msg_parse_get_interface_from_conf(&cursor, &avail, &entry) != 0) {
            syslog(LOG_ERR, "cannot get interface from conf when setting pending_conf");
            forget_request();
            return -1;
        }
        if (interface_conf_add(pending_conf.interfaces, &entry) == nullptr) {
            syslog(LOG_ERR, "cannot add interface configuration when setting pending_conf");
            forget_request();
            return -1;
        }
    }
    std::snprintf(configurator_address, sizeof configurator_address, "%s", address);
    has_pending_conf = 1;
    set_timeout(PENDING_TIMEOUT_SECONDS);
    return 0;
}

int ipconf_clear_pending_conf()
{
    forget_request();
    has_pending_conf = 0;
    return set_timeout(0);
}

int ipconf_has_pending_conf()
{
    return has_pending_conf;
}

int ipconf_is_pending_conf_applied()
{
    sleep(1);
    const product_info *info = product_info_get();
    if (info == nullptr) {
        syslog(LOG_ERR, "cannot get product info");
        return 0;
    }
    if (text_differs(pending_conf.host_name, info->host_name, HOST_NAME_SIZE))
        return 0;
    const iterator_ptr walk(list_iterator_new(pending_conf.interfaces, LIST_READ_ONLY));
    if (!walk) {
        syslog(LOG_ERR, "cannot create read iterator for the interface list");
        return 0;
    }
    while (list_iterator_next(walk.get()) == 0) {
        if (!interface_applied(static_cast<const interface_conf *>(list_iterator_get(walk.get()))))
            return 0;
    }
    return 1;
}

const char *ipconf_get_configurator_address()
{
    return configurator_address;
}

int ipconf_set_interfaces(uint8_t *cursor, size_t avail)
{
    while (avail != 0) {
        interface_conf entry = {};
        if (ipconf_msg_parse_get_interface_from_conf(&cursor, &avail, &entry) != 0)
            return -1;
        if (interface_conf_set(&entry) != 0)
            return -1;
    }
    return 0;
}

bool ipconf_host_name_valid(const char *host_name)
{
    for (const char *c = host_name; *c != '\0'; ++c) {
        if (!(std::isalnum(static_cast<unsigned char>(*c)) != 0 || *c == '-' || *c == '.'))
            return false;
    }
    return true;
}

bool ipconf_interfaces_valid(uint8_t *cursor, size_t avail)
{
    while (avail != 0) {
        interface_conf entry = {};
        if (ipconf_msg_parse_get_interface_from_conf(&cursor, &avail, &entry) != 0)
            return true;
        for (const char *address : {entry.ipv4, entry.netmask, entry.gateway, entry.dns, entry.wins}) {
            if (address == nullptr)
                continue;
            const size_t length = strnlen(address, INTERFACE_CONF_ADDRESS_SIZE);
            in_addr parsed{};
            if (length == INTERFACE_CONF_ADDRESS_SIZE || (length != 0 && inet_pton(AF_INET, address, &parsed) != 1))
                return false;
        }
    }
    return true;
}

int ipconf_retrieve_puid(const char *interface)
{
    const owned_fd ioctl_socket(if_new());
    if (!ioctl_socket)
        return -1;
    char mac[INTERFACE_CONF_MAC_SIZE] = "";
    // Chosen among every link, addressed or not: a device whose DHCP has
    // not finished, or failed, still has its PUID.
    const int found = interface != nullptr ? if_mac_get(ioctl_socket.get(), interface, mac)
                                           : if_device_mac_get(ioctl_socket.get(), mac);
    return found == 0 ? product_info_set_puid(mac) : -1;
}

int ipconf_check_puid(uint8_t *message, size_t size)
{
    char *puid = nullptr;
    if (ipconf_msg_parse_get_puid(message, size, &puid) != 0 || puid == nullptr)
        return -1;
    return std::strcmp(puid, product_info_get_puid()) == 0 ? 0 : 1;
}

uint8_t *ipconf_build_info(uint8_t protocol)
{
    const product_info *info = product_info_get();
    if (info == nullptr)
        return nullptr;
    tlv_writer *writer = ipconf_msg_open_info(info, protocol);
    if (writer == nullptr)
        return nullptr;
    if (interface_conf_list_open() != 0) {
        std::free(tlv_close_all(&writer));
        return nullptr;
    }
    {
        enumeration_guard enumeration;
        for (;;) {
            interface_conf *conf = nullptr;
            if (interface_conf_list_next(&conf) != 0)
                continue; // this interface cannot be read; the others still can
            if (conf == nullptr)
                break;
            writer = ipconf_msg_add_interface_to_info(writer, conf);
            if (writer == nullptr)
                return nullptr;
        }
    }
    return ipconf_msg_close_info(&writer);
}
