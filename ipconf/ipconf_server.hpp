// The ipconf service on UDP port 4445: its sockets, the receive path and the
// dispatch of each datagram, discovery replies, and the masking of SIGHUP and
// SIGALRM around the main loop's wait.
// Failures are logged to syslog; open/serve return 0 or -1.
#pragma once

#include "net/socket.hpp"

#include <cstddef>
#include <cstdint>

// Opens the server on the interface and registers its socket. What was opened
// stays open until ipconf_close, also when this fails.
[[nodiscard]] int ipconf_open(const char *interface, select_set *registered);

// Serves what select reported ready. -1 when the daemon must stop.
[[nodiscard]] int ipconf_server(select_set *registered, select_set *ready);

// Closes whatever was opened; accepts a server that was never or partly opened.
void ipconf_close(select_set *registered);

void ipconf_block_signals();
void ipconf_unblock_signals();
