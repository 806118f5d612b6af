#include "platform/product_info.hpp"

#include "net/address.hpp"
#include "platform/cendrix_comm.hpp"

#include <array>
#include <cstring>
#include <string_view>
#include <syslog.h>

namespace {

char puid_buffer[PUID_SIZE];
char host_name_buffer[PRODUCT_TEXT_SIZE];
char product_name_buffer[PRODUCT_TEXT_SIZE];
char product_id_buffer[PRODUCT_TEXT_SIZE];
char hardware_id_buffer[PRODUCT_TEXT_SIZE];
char hardware_revision_buffer[PRODUCT_SHORT_SIZE];
char system_version_buffer[PRODUCT_SHORT_SIZE];

uint32_t current_mode = PRODUCT_MODE_NORMAL;

product_info store = {
    puid_buffer,
    0,
    host_name_buffer,
    product_name_buffer,
    product_id_buffer,
    hardware_id_buffer,
    hardware_revision_buffer,
    system_version_buffer,
};

constexpr std::array<std::string_view, 4> mode_names = {"normal", "sleep", "rescue", "not-configurable"};

} // namespace

int product_info_set_puid(const char *puid)
{
    if (std::strlen(puid) != PUID_SIZE - 1) {
        syslog(LOG_ERR, "bad size of PUID");
        return -1;
    }
    std::memcpy(puid_buffer, puid, PUID_SIZE);
    string_to_upper(puid_buffer);
    return 0;
}

int product_info_set_mode(const char *mode)
{
    for (size_t number = 0; number < mode_names.size(); ++number) {
        if (mode_names[number] == mode) {
            current_mode = static_cast<uint32_t>(number);
            return 0;
        }
    }
    syslog(LOG_ERR, "unknown mode");
    return -1;
}

int product_info_set_host_name(const char *host_name)
{
    if (std::strlen(host_name) > PRODUCT_TEXT_SIZE - 1) {
        syslog(LOG_ERR, "host name too long");
        return -1;
    }
    return cendrix_set_hostname(host_name);
}

product_info *product_info_get()
{
    if (cendrix_get_product_info(&store) != 0)
        return nullptr;
    store.mode = current_mode;
    return &store;
}

uint32_t product_info_get_mode()
{
    return current_mode;
}

const char *product_info_get_puid()
{
    return puid_buffer;
}
