// Output side of the event notifier: remote peers connect over TCP port 4445,
// log in with the challenge scheme (CHRQ, CHAL, LOGN, then OK or ERR), and
// receive the events that the input side forwards, reserved one event at a
// time. The module owns its listening socket and every peer connection.
// Reporting: a system call failing here prints its perror line and this layer
// logs to syslog what follows; results are 0, 1 (busy) or -1.
//
// Busy reservations: notifier_output_forward_open first checks every peer the
// event concerns and reserves nothing at all when one of them is reserved for
// another input; a peer already reserved for the same input counts as free.
#pragma once

#include <cstddef>
#include <cstdint>

struct select_set;

inline constexpr size_t NOTIFIER_REMOTE_BUFFER = 2048;
inline constexpr size_t NOTIFIER_USER_SIZE = 256;
// Sends never block: what a peer's socket does not take at once waits in a
// backlog of at most this many bytes (beyond what the kernel buffers); a peer
// that falls further behind is disconnected.
inline constexpr size_t NOTIFIER_PEER_BACKLOG = 64 * 1024;

// Listens on TCP port 4445 and registers the socket: 0, or -1 after undoing
// everything.
[[nodiscard]] int notifier_output_open(select_set *set);

// One turn of the main loop: exceptions, a new peer, then the messages of
// every readable peer that is not reserved. 0, or -1 when something failed.
[[nodiscard]] int notifier_output_server(select_set *set, const select_set *ready);

// True once the listening socket reported an error: the side cannot serve
// any more. Nothing a peer does makes it so.
[[nodiscard]] bool notifier_output_broken();

// Closes every peer connection and the listening socket. Accepts a side that
// was never or only partly opened.
void notifier_output_close(select_set *set);

// Reserves for the local connection `input` every peer that is to receive its
// event: the peers logged in as `user`, or every peer when user is null or
// empty. 0 when reserved, 1 when busy (nothing reserved), -1 when the peers
// cannot be listed.
[[nodiscard]] int notifier_output_forward_open(const char *user, int input);

// Sends the bytes to every peer reserved for `input`; a failed send (or a
// peer too far behind) is logged, that peer is disconnected at the next turn
// and the other peers still get theirs. 0, or -1 when the peers cannot be
// listed.
[[nodiscard]] int notifier_output_forward(int input, const void *data, size_t count);

// Releases every peer reserved for `input`. 0, or -1 when the peers cannot be
// listed.
[[nodiscard]] int notifier_output_forward_close(int input);
