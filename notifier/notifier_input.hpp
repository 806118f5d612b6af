// Input side of the event notifier: local processes connect to the abstract
// unix stream socket "Tazul_notifier" and write events; each event is routed
// by its user and streamed, piece by piece as it arrives, to the peers that
// the output side reserves for it. A connection whose peers are busy with
// another event is postponed (its socket leaves the read set) and resumed as
// soon as a reservation is released. The module owns its listening socket and
// every local connection. Reporting: a system call failing here prints its
// perror line and this layer logs to syslog what follows; results are 0 or -1.
//
// Only root and the members of one group (the producers' group, named by the
// program) may write events: any other caller is logged once and closed
// before it can send anything, as the kernel recorded it when it connected.
//
// An event of at most 16 bytes has no whole first child to route by: it is
// held until complete and then forwarded to every peer.
#pragma once

#include <sys/types.h>

#include <cstddef>

struct select_set;

inline constexpr const char *NOTIFIER_UNIX_NAME = "Tazul_notifier";
inline constexpr size_t NOTIFIER_LOCAL_BUFFER = 2048;
// The producers' group when there is none: root alone may write events.
inline constexpr gid_t NOTIFIER_ROOT_ONLY = static_cast<gid_t>(-1);
// What opening returns when another process holds the unix socket's name.
inline constexpr int NOTIFIER_NAME_HELD = -2;

// Listens on the unix socket and registers it, admitting root and the
// members of producer_group: 0; NOTIFIER_NAME_HELD after logging which pid
// and uid hold the name; -1 otherwise. Everything is undone on a failure.
[[nodiscard]] int notifier_input_open(select_set *set, gid_t producer_group);

// One turn of the main loop: exceptions, a new local connection, then the
// bytes of every readable local connection. 0, or -1 when something failed.
[[nodiscard]] int notifier_input_server(select_set *set, const select_set *ready);

// True once the listening socket reported an error.
[[nodiscard]] bool notifier_input_broken();

// Closes every local connection (releasing its peers) and the listening
// socket. Accepts a side that was never or only partly opened.
void notifier_input_close(select_set *set);
