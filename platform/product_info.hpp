// The daemon's picture of its device: PUID and operating mode, held for the
// process's life, and the host name and identity texts, read afresh from the
// configuration service on every product_info_get.
// Reporting: refusals are logged to syslog at LOG_ERR here, and their callers
// do not log them again. The record and its buffers are
// never freed by anyone.
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

// Exactly 17 characters: stored upper-cased, 0. Else "bad size of PUID", -1.
[[nodiscard]] int product_info_set_puid(const char *puid);

// "normal", "sleep", "rescue" or "not-configurable": 0. Else "unknown mode", -1.
[[nodiscard]] int product_info_set_mode(const char *mode);

// Hands the name to the configuration service (the local copy is refreshed
// by the next product_info_get). Over 63 characters: "host name too long", -1.
[[nodiscard]] int product_info_set_host_name(const char *host_name);

// Refreshes the identity texts from the configuration service and returns
// the store's record, or null when the service could not supply them.
[[nodiscard]] product_info *product_info_get();

[[nodiscard]] uint32_t product_info_get_mode();

// The store's own PUID buffer; empty until set.
[[nodiscard]] const char *product_info_get_puid();
