// What both sides of the notifier do alike with their listening socket and
// their list of connections: listen, accept, sweep the connections whose
// socket reports an exception, close. A side is named "local" or "remote" in
// its log lines. Every connection record is malloc'd, starts with its int
// socket and belongs to the side's list. Internal to notifier/.
#pragma once

#include "util/list.hpp"
#include "util/owned.hpp"
#include "util/tlv_ez.hpp"

#include <sys/select.h>

#include <cstddef>
#include <cstdint>

struct select_set;

namespace notifier_detail {

using ::iterator_ptr;

// Takes the record at the iterator out of the list, unregisters and closes
// its socket and releases it (with whatever the side keeps besides).
using delete_fn = void (*)(list_iterator *it, select_set *set);

struct connection_side {
    const char *kind;    // "local" or "remote"
    const char *someone; // "local processus" or "remote peer"
    int listen_socket = -1;
    list *connections = nullptr;
    bool broken = false; // the listening socket reported an error
};

// False for a closed (-1) descriptor and for one select cannot hold.
inline bool is_set(int fd, const fd_set *set)
{
    return fd >= 0 && fd < FD_SETSIZE && FD_ISSET(fd, set);
}

// The element's total size as a 64-bit number: a length field near 2^32
// must not wrap into a small size.
inline uint64_t element_size(const uint8_t *element)
{
    return uint64_t{static_cast<uint32_t>(tlv_get_size(element) - TLV_HEADER_SIZE)} + TLV_HEADER_SIZE;
}

// Takes the bound socket (-1 when it could not be made), listens with a
// backlog of 3, registers it and creates the list: 0, or -1 after logging;
// the caller then closes the side.
[[nodiscard]] int side_open(connection_side &side, int socket, select_set *set);

// Deletes every connection and closes the listening socket; accepts a side
// never or only partly opened.
void side_close(connection_side &side, select_set *set, delete_fn remove);

// An iterator over the connections, or null after "cannot list the %s
// connections".
[[nodiscard]] iterator_ptr side_iterate(const connection_side &side, int mode);

// Step 1 of a turn: -1 when the listening socket reports an exception (the
// side is then broken); otherwise deletes every connection whose socket does,
// and -1 only when the list cannot be walked.
[[nodiscard]] int side_sweep_exceptions(connection_side &side, select_set *set, const select_set *ready,
                                        delete_fn remove);

// Accepts one connection into a new zeroed record of record_size bytes,
// added to the list and registered; null after logging. When no descriptor
// is left (or the new one is beyond what select can watch), the waiting
// connection is accepted and closed at once, so that the listening socket
// does not stay readable turn after turn. A side that admits only some
// callers passes `admit`: a connection it refuses (and logs) is closed at
// once, and the result is null.
using admit_fn = bool (*)(int fd);
[[nodiscard]] void *side_accept(connection_side &side, select_set *set, size_t record_size, int accept_flags,
                                admit_fn admit = nullptr);

} // namespace notifier_detail
