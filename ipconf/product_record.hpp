// The product information record: the device's PUID, operating mode and
// identity texts. platform/product_info keeps the device's own record; the
// INFO builder reads one and the INFO parser hands out one whose texts point
// into a received message, so the record sits in the message layer.
#pragma once

#include <cstdint>

// Operating modes; the number also travels in INFO.
enum product_mode : uint32_t {
    PRODUCT_MODE_NORMAL = 0,
    PRODUCT_MODE_SLEEP = 1,
    PRODUCT_MODE_RESCUE = 2,
    PRODUCT_MODE_NOT_CONFIGURABLE = 3,
};

inline constexpr int PUID_SIZE = 18;          // 17 characters and the NUL
inline constexpr int PRODUCT_TEXT_SIZE = 64;  // host name, product name/id, hardware id
inline constexpr int PRODUCT_SHORT_SIZE = 32; // hardware revision, system version

// In the store's own record the texts point at its fixed buffers; the INFO
// parser returns a record of the same layout pointing into a message.
struct product_info {
    char *puid;
    uint32_t mode;
    char *host_name;
    char *product_name;
    char *product_id;
    char *hardware_id;
    char *hardware_revision;
    char *system_version;
};
