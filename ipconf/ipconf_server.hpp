// The ipconf service on UDP port 4445: its sockets (UDP on the bound interface,
// a packet socket as fallback sender or, in sleep mode, as the only socket),
// the receive path and dispatch of each datagram, discovery replies, the
// challenge and CONF exchange, and SIGHUP/SIGALRM with their masking.
// Reporting: this layer decides what follows a failure and logs it to syslog;
// the socket, list and TLV layers below have already printed their perror
// line, and a system call made here prints its own ("recv failed"). open/serve
// return 0 or -1. Every reply is a broadcast to port 4445; messages sent are
// freed here.
#pragma once

#include "net/socket.hpp"

#include <csignal>
#include <cstddef>
#include <cstdint>

// Opens the server on the interface, registers its socket, installs the signal
// actions and announces the device. What was opened stays open until
// ipconf_close, also when this fails.
[[nodiscard]] int ipconf_open(const char *interface, select_set *registered);

// Serves the RPC endpoint, sends an INFO owed to absorbed LOOKs when it is
// due, then the datagrams queued on the ipconf socket (up to 16 at once).
// -1 when the daemon must stop.
[[nodiscard]] int ipconf_server(select_set *registered, select_set *ready);

// Closes whatever was opened; accepts a server that was never or partly opened.
void ipconf_close(select_set *registered);

// SIGHUP and SIGALRM are deliverable only between unblock and block.
void ipconf_block_signals();
void ipconf_unblock_signals();

// The signal mask for the loop's wait (pselect): SIGHUP and SIGALRM
// deliverable, everything else as outside it. Valid once the server is open.
[[nodiscard]] const sigset_t *ipconf_wait_mask();

// Broadcasts size bytes to port 4445, falling back to the packet socket when
// the UDP broadcast fails. 0, or the failing sender's non-zero result.
int ipconf_send(const uint8_t *message, size_t size);

// Broadcasts the INFO (kept or built afresh, info_reply.hpp), never held
// back by the pacing, which it counts against. 0, or -1 when it could not be
// built.
int broadcast_info();
