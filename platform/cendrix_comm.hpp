// The daemon's session with the device's configuration service, and the
// operations the rest of the daemon needs from it, in the daemon's own terms.
// Only cendrix_open_session logs; every other operation fails silently with
// -1 or null and its caller reports the failure.
#pragma once

#include <csignal>
#include <cstdint>

// The program's loop flag, defined by its entry; 0 ends the connection retries.
extern "C" volatile sig_atomic_t run;

struct product_info;

// Connects to the bus and probes the service, retrying while the daemon runs.
[[nodiscard]] int cendrix_open_session();

// 0, or -1 when no session was open.
int cendrix_close_session();

// 0 when the service stored the host name; -1.
[[nodiscard]] int cendrix_set_hostname(const char *host_name);

// 0 with the record's six identity texts rewritten; -1.
[[nodiscard]] int cendrix_get_product_info(product_info *record);

// A malloc'd text the caller frees, holding the primary interface's name; null.
[[nodiscard]] char *cendrix_get_primary_interface_name();
