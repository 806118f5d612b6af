// The event notifier: events written by local processes to the unix socket
// "Tazul_notifier" are forwarded to the remote peers logged in over TCP port
// 4445. Open, serve and close follow the select-set convention of the other
// servers; results are 0 or -1 (the server's is the or of both sides').
#pragma once

#include "notifier/notifier_input.hpp"

struct select_set;

// Opens the input side (producers: root and the members of producer_group,
// or NOTIFIER_ROOT_ONLY), then the output side; on a failure both are closed
// and the result is -1, or NOTIFIER_NAME_HELD when another process holds the
// unix socket's name.
[[nodiscard]] int notifier_open(select_set *set, gid_t producer_group);

// Serves both sides, the input side first, both always.
[[nodiscard]] int notifier_server(select_set *set, const select_set *ready);

// True once a listening socket reported an error: the notifier cannot serve
// any more. What producers and peers do never makes it so; a program ends on
// this, not on a failed turn.
[[nodiscard]] bool notifier_broken();

// Closes the input side, then the output side.
void notifier_close(select_set *set);
