// The daemon's session with the device's configuration service, and the
// operations the rest of the daemon needs from it, in the daemon's own terms.
// Only the session logs (opening it, and losing and regaining the service);
// every other operation fails silently with -1 or null and its caller reports
// the failure. A service that does not answer a call within a second, or a
// bus that goes away, marks the session lost: further operations fail at once
// (no more calls of the same request) until a reconnection, tried at most once
// a second when an operation is asked for, finds the service answering again. Texts too long for their
// buffers fail the operation; nothing is truncated.
#pragma once

#include <csignal>
#include <cstdint>

struct product_info;
struct interface_conf;

// Connects to the bus and probes the service, retrying while the daemon runs.
[[nodiscard]] int cendrix_open_session();

// 0, or -1 when no session was open.
int cendrix_close_session();

// 0 with the 20 bytes of the login's password hash written; -1.
[[nodiscard]] int cendrix_get_password_sha1(const char *login, uint8_t *hash);

// 0 when the service stored the host name; -1.
[[nodiscard]] int cendrix_set_hostname(const char *host_name);

// 0 with the record's six identity texts rewritten; -1.
[[nodiscard]] int cendrix_get_product_info(product_info *record);

// 0 with the name (16-byte buffer) of the interface holding the MAC text,
// possibly empty; -1.
[[nodiscard]] int cendrix_get_interface_name(const char *mac, char *name);

// 0 with every field but `name` filled from the service; -1.
[[nodiscard]] int cendrix_get_interface_conf(const char *name, interface_conf *conf);

// 0 when the service stored the present (non-null) fields of the record as
// the named interface's IPv4 configuration; -1, and nothing stored.
[[nodiscard]] int cendrix_set_interface_conf(const char *name, const interface_conf *conf);

// A malloc'd text the caller frees, holding the primary interface's name; null.
[[nodiscard]] char *cendrix_get_primary_interface_name();

// Change announcements, for a caller that keeps what it read from the service
// instead of reading it afresh each time. Before each use it calls
// cendrix_take_changes(), then cendrix_changes_announced(): what it kept is
// current when the first gave 0 and the second holds; otherwise it reads
// afresh, after those calls, so that a change announced while it reads shows
// at its next use. A session lost and restored, and a service restarted or
// replaced, count as changes.

// True when the session is open, not lost, and its service announces every
// change that readers can see; false otherwise (read afresh every time).
[[nodiscard]] bool cendrix_changes_announced();

// The session's bus descriptor, readable when something has arrived, or -1.
// Read it afresh before every wait: any operation of this module may lose
// the session (closing it) or restore it (on another descriptor). Waiting on
// it is optional: cendrix_take_changes() also finds what another operation
// read from the bus while waiting for its reply.
[[nodiscard]] int cendrix_changes_fd();

// Handles, without waiting, what has arrived from the service. 1 when it
// announced a change, was restarted or replaced, or the session was opened
// or restored since the last call; 0 when none of that; -1 when the session
// is not open, is lost (a reconnection is tried as for any operation), or was
// lost now.
[[nodiscard]] int cendrix_take_changes();

// The program's loop flag: once it holds 0, the connection retries end.
// Without one (null, the default) they run their full course.
void cendrix_set_run_flag(const volatile sig_atomic_t *run);

// Replaces the 3-second wait between connection attempts (tests); null
// restores the real one.
void cendrix_set_retry_sleep(void (*sleeper)(unsigned seconds));
