// The daemon's picture of its device: PUID and operating mode, held for the
// process's life, and the host name and identity texts, read afresh from the
// configuration service on every product_info_get.
// Reporting: refusals are logged to syslog at LOG_ERR here, and their callers
// do not log them again. The record and its buffers are
// never freed by anyone.
#pragma once

#include "ipconf/product_record.hpp"

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
