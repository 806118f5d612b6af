// What the device answers a LOOK with, and when. The INFO is kept from one
// answer to the next while nothing it shows has changed: the configuration
// service announces its changes and the kernel its link and address
// changes, so a LOOK normally costs no call to the service. INFO broadcasts
// are paced: at most ORVANED_INFO_RATE a second (default 20; 0 turns pacing
// off) after a burst of ORVANED_INFO_BURST (default 20). Every INFO goes out
// once on each link the device sends on, so this is a rate per link. A LOOK
// that finds the budget spent is absorbed by the next INFO, due at most
// 1/rate later: every asker hears one.
// Reporting: a refused setting or a watch that cannot be opened is logged
// once at LOG_WARNING, and the module works on without it (every INFO then
// built afresh, or pacing off). Nothing else logs.
#pragma once

#include "net/socket.hpp"

#include <cstdint>

// Reads the settings from the environment, opens the link watch and the
// timer, and registers the timer. `socket` is where LOOKs arrive (`packets`:
// a packet socket that receives whole IPv4 packets): while an INFO is owed,
// the kernel drops the LOOKs it would absorb before they wake the daemon.
// Always succeeds, degraded if need be.
void info_reply_open(select_set *registered, int socket, bool packets);

// Accepts a module that was never or partly opened.
void info_reply_close(select_set *registered);

// The INFO to send now: the one kept when nothing it shows has changed since
// it was built, else one built afresh. Before trusting the kept one, it reads
// what the service and the kernel have announced. Owned here, valid until the
// next call; null when it cannot be built.
[[nodiscard]] const uint8_t *info_reply_message();

// A LOOK came: true when an INFO may go out now; otherwise the LOOK is
// absorbed by the next one, which info_reply_serve says is due.
[[nodiscard]] bool info_reply_answer_now();

// An INFO is about to go out (an answer or an announcement, which is never
// held back): it takes its share of the budget and is the one owed to the
// LOOKs absorbed so far, which are read again from now on. Called also when
// the INFO then cannot be built, so that nothing stays owed.
void info_reply_sending();

// Reads the timer when it is ready: true when the INFO owed to absorbed
// LOOKs is due now.
[[nodiscard]] bool info_reply_serve(const select_set *ready);
