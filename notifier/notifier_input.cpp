#include "notifier/notifier_input.hpp"

#include "net/address.hpp"
#include "net/socket.hpp"
#include "notifier/connection_list.hpp"
#include "notifier/notif_msg.hpp"
#include "notifier/notifier_output.hpp"
#include "util/list.hpp"
#include "util/tlv_ez.hpp"

#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// The envelope header and the header of its first child.
constexpr uint64_t ROUTING_HEAD = 2 * TLV_HEADER_SIZE;

struct local_connection {
    int socket; // -1 once retired: closed, waiting to leave the list
    uint8_t buffer[NOTIFIER_LOCAL_BUFFER];
    size_t held;
    int forwarding;
    size_t remaining;
    size_t postponed;
};

using namespace notifier_detail;

connection_side side{"local", "local processus"};
// While the side closes, released peers do not resume anybody.
bool closing = false;
gid_t producer_group = NOTIFIER_ROOT_ONLY;

iterator_ptr iterate(int mode)
{
    return side_iterate(side, mode);
}

local_connection *current(const iterator_ptr &it)
{
    return static_cast<local_connection *>(list_iterator_get(it.get()));
}

int forward_stream(local_connection *c, size_t count, select_set *set);

// Gives every postponed connection another go, in list order. The walk only
// reads the list: a resumed connection that fails is retired, not deleted,
// so that no iterator further up the call chain loses its place.
void resume_postponed(select_set *set)
{
    if (closing)
        return;
    iterator_ptr it = iterate(LIST_READ_ONLY);
    if (!it)
        return;
    while (list_iterator_next(it.get()) == 0) {
        local_connection *c = current(it);
        if (c->socket < 0 || is_set(c->socket, &set->read))
            continue;
        socket_add(c->socket, set);
        size_t count = c->postponed;
        c->postponed = 0;
        c->held = 0;
        if (forward_stream(c, count, set) != 0) {
            socket_remove(c->socket, set);
            close(c->socket);
            c->socket = -1;
        }
    }
}

// Forgets the current event; peers reserved for it are released, and the
// connections that were waiting for them are resumed.
void clear_state(local_connection *c, select_set *set)
{
    bool reserved = c->forwarding != 0;
    c->held = 0;
    c->forwarding = 0;
    c->remaining = 0;
    if (reserved) {
        if (notifier_output_forward_close(c->socket) != 0)
            syslog(LOG_ERR, "notifier_output_forward_close failed");
        resume_postponed(set);
    }
}

void connection_delete(list_iterator *it, select_set *set)
{
    auto c = static_cast<local_connection *>(list_iterator_get(it));
    if (c == nullptr || list_iterator_remove(it) != 0)
        return;
    if (c->socket >= 0) {
        socket_remove(c->socket, set);
        if (c->forwarding && notifier_output_forward_close(c->socket) != 0)
            syslog(LOG_ERR, "notifier_output_forward_close failed");
        close(c->socket);
    }
    bool reserved = c->forwarding != 0;
    free(c);
    if (reserved)
        resume_postponed(set);
}

// Deletes the connections that a resume retired.
void sweep_retired(select_set *set)
{
    iterator_ptr it(list_iterator_new(side.connections, LIST_REMOVING));
    if (!it)
        return;
    while (list_iterator_next(it.get()) == 0) {
        if (current(it)->socket < 0)
            connection_delete(it.get(), set);
    }
}

int hold(local_connection *c, size_t from, size_t count)
{
    memmove(c->buffer, c->buffer + from, count);
    c->held = count;
    c->remaining = 0;
    return 0;
}

// Routing needs the envelope header and the whole first child. An event of
// at most 16 bytes has no whole child: it is routed to everybody once it is
// complete. 1: routable; 0: wait for more; -1: the first child runs past the
// end of its event, which no amount of waiting mends.
int routable(const uint8_t *event, uint64_t size, uint64_t here)
{
    if (size <= ROUTING_HEAD)
        return here == size ? 1 : 0;
    if (here < ROUTING_HEAD)
        return 0;
    uint64_t head = TLV_HEADER_SIZE + element_size(event + TLV_HEADER_SIZE);
    if (head > size)
        return -1;
    return here > ROUTING_HEAD && here >= head ? 1 : 0;
}

// Starts the event at the start of the buffer's unhandled bytes: 1 when its
// peers are reserved, 0 when the bytes are held or the connection was
// postponed, -1 when the connection must go.
int start_event(local_connection *c, size_t pos, size_t end, select_set *set)
{
    size_t left = end - pos;
    uint8_t *event = c->buffer + pos;
    if (left < TLV_HEADER_SIZE)
        return hold(c, pos, left);
    if (tlv_get_envelope_type(event) != "EVNT"_tlv) {
        syslog(LOG_ERR, "Received unexpected message");
        return -1;
    }
    uint64_t size = element_size(event);
    c->remaining = size;
    uint64_t here = std::min<uint64_t>(left, size);
    int ready = routable(event, size, here);
    if (ready < 0) {
        syslog(LOG_ERR, "Received unexpected message");
        return -1;
    }
    if (ready == 0)
        return hold(c, pos, left);

    char user[NOTIFIER_USER_SIZE] = "";
    if (size > ROUTING_HEAD && notif_msg_parse_event_user(event, here, user) != 0) {
        user[0] = '\0';
        if (tlv_get_envelope_type(event + TLV_HEADER_SIZE) == "USER"_tlv) {
            // A user name too long for any account: the event is meant for
            // somebody, just nobody here. It streams to no peer.
            c->forwarding = 1;
            return 1;
        }
    }
    int reserved = notifier_output_forward_open(user, c->socket);
    if (reserved < 0) {
        syslog(LOG_ERR, "notifier_output_forward_open failed");
        clear_state(c, set);
        return -1;
    }
    if (reserved == 1) {
        syslog(LOG_INFO, "busy connection: forwarding from socket %d postponed\n", c->socket);
        socket_remove(c->socket, set);
        memmove(c->buffer, c->buffer + pos, left);
        c->postponed = left;
        clear_state(c, set);
        return 0;
    }
    c->forwarding = 1;
    return 1;
}

// Handles the held bytes and the count bytes just received after them.
int forward_stream(local_connection *c, size_t count, select_set *set)
{
    size_t end = c->held + count;
    size_t pos = 0;
    c->held = 0;
    for (;;) {
        if (!c->forwarding) {
            if (pos == end)
                return 0;
            int started = start_event(c, pos, end, set);
            if (started <= 0)
                return started;
        }
        size_t n = static_cast<size_t>(std::min<uint64_t>(c->remaining, end - pos));
        if (n > 0 && notifier_output_forward(c->socket, c->buffer + pos, n) != 0) {
            syslog(LOG_ERR, "notifier_output_forward failed");
            clear_state(c, set);
            return -1;
        }
        c->remaining -= n;
        pos += n;
        if (c->remaining != 0)
            return 0;
        if (notifier_output_forward_close(c->socket) != 0) {
            syslog(LOG_ERR, "notifier_output_forward_close failed");
            clear_state(c, set);
            return -1;
        }
        c->forwarding = 0;
        clear_state(c, set);
        resume_postponed(set);
    }
}

// The caller's supplementary groups, as the kernel recorded them when it
// connected, hold the group.
bool supplementary_member(int fd, gid_t group)
{
    socklen_t size = 0;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, nullptr, &size) != 0 && errno != ERANGE)
        return false;
    try {
        std::vector<gid_t> groups(size / sizeof(gid_t));
        return !groups.empty() && getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0 &&
               std::find(groups.begin(), groups.begin() + size / sizeof(gid_t), group) != groups.end();
    } catch (...) {
        return false;
    }
}

// Any local user can connect to an abstract name: only root and the
// producers' group get to send.
bool admit_producer(int fd)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        perror("getsockopt failed");
        syslog(LOG_WARNING, "local connection refused: its credentials cannot be read");
        return false;
    }
    if (peer.uid == 0 || (producer_group != NOTIFIER_ROOT_ONLY &&
                          (peer.gid == producer_group || supplementary_member(fd, producer_group))))
        return true;
    syslog(LOG_WARNING, "local connection refused: pid %ld, uid %u is neither root nor in group %u",
           static_cast<long>(peer.pid), static_cast<unsigned>(peer.uid), static_cast<unsigned>(producer_group));
    return false;
}

int accept_connection(select_set *set)
{
    return side_accept(side, set, sizeof(local_connection), 0, admit_producer) != nullptr ? 0 : -1;
}

// Whoever holds the name squats the events meant for the peers: its pid and
// uid (as the kernel recorded them when it started listening) go to the log,
// so that the service's journal names it.
void log_name_holder()
{
    const owned_fd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const malloc_ptr<sockaddr_un> address(unix_abstract_address_new(NOTIFIER_UNIX_NAME));
    ucred holder{};
    socklen_t size = sizeof holder;
    if (probe && address &&
        connect(probe.get(), reinterpret_cast<const sockaddr *>(address.get()),
                unix_address_length_get(address.get())) == 0 &&
        getsockopt(probe.get(), SOL_SOCKET, SO_PEERCRED, &holder, &size) == 0)
        syslog(LOG_ERR, "unix socket \"%s\" is held by another process: pid %ld, uid %u", NOTIFIER_UNIX_NAME,
               static_cast<long>(holder.pid), static_cast<unsigned>(holder.uid));
    else
        syslog(LOG_ERR, "unix socket \"%s\" is held by another process, which does not take connections",
               NOTIFIER_UNIX_NAME);
}

int read_connections(select_set *set, const select_set *ready)
{
    iterator_ptr it = iterate(LIST_REMOVING);
    if (!it)
        return -1;
    while (list_iterator_next(it.get()) == 0) {
        local_connection *c = current(it);
        // A connection postponed or retired during this turn is not read.
        if (!is_set(c->socket, &ready->read) || !is_set(c->socket, &set->read))
            continue;
        ssize_t n = recv(c->socket, c->buffer + c->held, NOTIFIER_LOCAL_BUFFER - c->held, 0);
        if (n < 0) {
            perror("recv failed");
            syslog(LOG_ERR, "cannot receive data from a local connection");
            clear_state(c, set);
            return -1;
        }
        if (n == 0) {
            connection_delete(it.get(), set);
            syslog(LOG_INFO, "connection closed by a local processus");
            continue;
        }
        if (forward_stream(c, static_cast<size_t>(n), set) != 0)
            connection_delete(it.get(), set);
    }
    return 0;
}

} // namespace

int notifier_input_open(select_set *set, gid_t group)
{
    producer_group = group;
    const int socket = unix_socket_new(SOCK_STREAM, NOTIFIER_UNIX_NAME);
    const bool held = socket < 0 && errno == EADDRINUSE;
    if (held)
        log_name_holder();
    if (side_open(side, socket, set) != 0) {
        notifier_input_close(set);
        return held ? NOTIFIER_NAME_HELD : -1;
    }
    return 0;
}

void notifier_input_close(select_set *set)
{
    closing = true;
    side_close(side, set, connection_delete);
    closing = false;
}

bool notifier_input_broken()
{
    return side.broken;
}

int notifier_input_server(select_set *set, const select_set *ready)
{
    int result = side_sweep_exceptions(side, set, ready, connection_delete);

    if (is_set(side.listen_socket, &ready->read) && accept_connection(set) != 0)
        result = -1;

    if (read_connections(set, ready) != 0)
        result = -1;
    sweep_retired(set);
    return result;
}
