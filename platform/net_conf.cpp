#include "platform/net_conf.hpp"

#include "ipconf/interface_conf.hpp"
#include "net/if.hpp"
#include "platform/cendrix_comm.hpp"
#include "util/owned.hpp"

#include <cstdlib>
#include <cstring>
#include <syslog.h>

namespace {

constexpr size_t mac_length = 17;

ifconf interface_list{};
// Kept from the first walk to the end of the process: every LOOK walks the
// list, and one socket for all walks spares two system calls each time.
owned_fd ioctl_socket;
int entry_number = 0;
int entry_count = 0;

char mac_buffer[INTERFACE_CONF_MAC_SIZE];
char ipv4_buffer[INTERFACE_CONF_ADDRESS_SIZE];
char netmask_buffer[INTERFACE_CONF_ADDRESS_SIZE];
char gateway_buffer[INTERFACE_CONF_ADDRESS_SIZE];
char broadcast_buffer[INTERFACE_CONF_ADDRESS_SIZE];
char dns_buffer[INTERFACE_CONF_ADDRESS_SIZE];
char wins_buffer[INTERFACE_CONF_ADDRESS_SIZE];

// Its name points into the interface list, the rest at the buffers above.
interface_conf record = {
    nullptr,        mac_buffer,     INTERFACE_ROLE_NOT_SET, LINK_STATE_NOT_SET, IPV4_MODE_NOT_SET, ipv4_buffer,
    netmask_buffer, gateway_buffer, broadcast_buffer,       dns_buffer,         wins_buffer,
};

char interface_name[INTERFACE_CONF_NAME_SIZE];

// Steps past the end once; later calls stay there.
bool advance()
{
    if (entry_number <= entry_count)
        ++entry_number;
    return entry_number <= entry_count;
}

bool is_loopback_name(const char *name)
{
    return std::strncmp(name, "lo", INTERFACE_CONF_NAME_SIZE) == 0;
}

} // namespace

int interface_conf_list_open()
{
    interface_conf_list_close();
    if (!ioctl_socket)
        ioctl_socket.reset(if_new());
    if (!ioctl_socket) {
        syslog(LOG_ERR, "cannot open a socket for ioctls");
        interface_conf_list_close();
        return -1;
    }
    if (if_list_get(ioctl_socket.get(), &interface_list) != 0) {
        syslog(LOG_ERR, "cannot get list of interfaces");
        interface_conf_list_close();
        return -1;
    }
    entry_count = if_list_count_get(&interface_list);
    return 0;
}

int interface_conf_list_next(interface_conf **conf)
{
    *conf = nullptr;
    if (!advance())
        return 0;
    while (is_loopback_name(if_name_get(&interface_list, entry_number))) {
        if (!advance())
            return 0;
    }
    record.name = if_name_get(&interface_list, entry_number);
    if (cendrix_get_interface_conf(record.name, &record) != 0)
        return -1;
    *conf = &record;
    return 0;
}

void interface_conf_list_close()
{
    std::free(interface_list.ifc_buf);
    interface_list = ifconf{};
    entry_number = 0;
    entry_count = 0;
    record.name = nullptr;
}

int interface_conf_set(const interface_conf *conf)
{
    if (conf->mac == nullptr || std::strlen(conf->mac) != mac_length)
        return -1;
    if (cendrix_get_interface_name(conf->mac, interface_name) != 0)
        return -1;
    // The dynamic method takes no address of its own.
    if (conf->ipv4_mode == IPV4_DHCP && (conf->ipv4 != nullptr || conf->netmask != nullptr))
        return -1;
    return cendrix_set_interface_conf(interface_name, conf);
}
