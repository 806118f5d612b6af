#include "notifier/notifier_output.hpp"

#include "ipconf/auth.hpp"
#include "ipconf/auth_msg.hpp"
#include "net/socket.hpp"
#include "notifier/connection_list.hpp"
#include "platform/cendrix_comm.hpp"
#include "util/list.hpp"
#include "util/owned.hpp"
#include "util/tlv_ez.hpp"

#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct remote_connection {
    int socket;
    uint8_t buffer[NOTIFIER_REMOTE_BUFFER];
    size_t count;
    uint32_t challenge;
    char user[NOTIFIER_USER_SIZE];
    int forwarding_input;
    // Bytes the socket did not take yet, in order (malloc'd, at most
    // NOTIFIER_PEER_BACKLOG); the socket is in the write set while any wait.
    uint8_t *backlog;
    size_t backlog_size;
    bool dropped; // fell behind or failed while an event streamed: deleted at the next turn
};

using namespace notifier_detail;

connection_side side{"remote", "remote peer"};
// The select set the side registered in: sends that queue watch for room.
select_set *registered = nullptr;

using message_ptr = malloc_ptr<uint8_t>;

iterator_ptr iterate(int mode)
{
    return side_iterate(side, mode);
}

remote_connection *current(const iterator_ptr &it)
{
    return static_cast<remote_connection *>(list_iterator_get(it.get()));
}

int send_failed()
{
    perror("send failed");
    syslog(LOG_ERR, "cannot send data to a remote connection");
    return -1;
}

// Sends what the socket takes now and queues the rest behind what already
// waits; never blocks. -1 when the socket failed or the peer would fall
// behind by more than the backlog allows. MSG_NOSIGNAL: a peer closing its
// end must not kill the process.
int send_queued(remote_connection *c, const void *data, size_t count)
{
    auto bytes = static_cast<const uint8_t *>(data);
    if (c->backlog_size == 0) {
        while (count > 0) {
            const ssize_t n = send(c->socket, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (n < 0)
                return send_failed();
            bytes += n;
            count -= static_cast<size_t>(n);
        }
        if (count == 0)
            return 0;
    }
    if (count > NOTIFIER_PEER_BACKLOG - c->backlog_size) {
        syslog(LOG_WARNING, "remote peer on socket %d falls behind by more than %zu bytes, disconnected", c->socket,
               NOTIFIER_PEER_BACKLOG);
        return -1;
    }
    if (c->backlog == nullptr) {
        c->backlog = static_cast<uint8_t *>(malloc(NOTIFIER_PEER_BACKLOG));
        if (c->backlog == nullptr) {
            perror("malloc failed");
            return send_failed();
        }
    }
    memcpy(c->backlog + c->backlog_size, bytes, count);
    c->backlog_size += count;
    FD_SET(c->socket, &registered->write);
    return 0;
}

// Sends what waits as far as the socket takes it: 0, or -1 when it failed.
int flush_backlog(remote_connection *c)
{
    size_t sent = 0;
    while (sent < c->backlog_size) {
        const ssize_t n = send(c->socket, c->backlog + sent, c->backlog_size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0)
            return send_failed();
        sent += static_cast<size_t>(n);
    }
    memmove(c->backlog, c->backlog + sent, c->backlog_size - sent);
    c->backlog_size -= sent;
    if (c->backlog_size == 0)
        FD_CLR(c->socket, &registered->write);
    return 0;
}

int send_message(remote_connection *c, const uint8_t *message)
{
    return send_queued(c, message, tlv_get_size(message));
}

int send_error(remote_connection *c, const char *text)
{
    message_ptr message(auth_msg_build_error(text));
    if (!message)
        return -1;
    return send_message(c, message.get());
}

void connection_delete(list_iterator *it, select_set *set)
{
    auto c = static_cast<remote_connection *>(list_iterator_get(it));
    if (c == nullptr || list_iterator_remove(it) != 0)
        return;
    socket_remove(c->socket, set);
    close(c->socket);
    free(c->backlog);
    free(c);
}

enum class outcome { kept, deleted };

outcome answer_error(remote_connection *c, const char *text)
{
    return send_error(c, text) == 0 ? outcome::kept : outcome::deleted;
}

outcome handle_challenge_request(remote_connection *c, uint8_t *message, size_t size)
{
    uint8_t *cursor = message;
    size_t avail = size;
    if (auth_msg_parse_challenge_request(&cursor, &avail, nullptr) != 0)
        return answer_error(c, "challenge request parsing error");

    uint32_t challenge = get_random_challenge();
    if (challenge == 0) {
        syslog(LOG_ERR, "cannot get a random challenge");
        return outcome::deleted;
    }
    c->challenge = challenge;
    message_ptr reply(auth_msg_build_challenge(reinterpret_cast<const uint8_t *>(&c->challenge), AUTH_CHALLENGE_SIZE,
                                               nullptr, nullptr));
    if (!reply) {
        syslog(LOG_ERR, "cannot build a challenge message");
        return outcome::deleted;
    }
    return send_message(c, reply.get()) == 0 ? outcome::kept : outcome::deleted;
}

outcome handle_login(remote_connection *c, uint8_t *message, size_t size)
{
    if (c->challenge == 0)
        return answer_error(c, "request a challenge first");

    uint8_t *cursor = message;
    size_t avail = size;
    char *user = nullptr;
    uint8_t *pass = nullptr;
    if (auth_msg_parse_login(&cursor, &avail, &user, &pass) != 0) {
        c->challenge = 0;
        return answer_error(c, "login parsing error");
    }

    // Nothing past the field is read, terminated or not.
    const std::string_view field = element_text(user);
    const size_t length = field.size();
    if (length >= NOTIFIER_USER_SIZE)
        return answer_error(c, "user name too long");
    char name[NOTIFIER_USER_SIZE];
    memcpy(name, field.data(), length);
    name[length] = '\0';

    uint8_t hash[SHA1_DIGEST_SIZE];
    if (cendrix_get_password_sha1(name, hash) != 0)
        return answer_error(c, "password check error");

    int checked = check_password(reinterpret_cast<const uint8_t *>(&c->challenge), AUTH_CHALLENGE_SIZE, hash, pass);
    c->challenge = 0;
    if (checked != 0)
        return answer_error(c, "authentication error");

    memcpy(c->user, name, length + 1);
    message_ptr ok(auth_msg_build_ok());
    if (!ok || send_message(c, ok.get()) != 0)
        return outcome::deleted;
    return outcome::kept;
}

// Handles every complete message at the start of the buffer and keeps the
// incomplete rest there.
outcome handle_messages(remote_connection *c)
{
    size_t offset = 0;
    while (tlv_is_complete(c->buffer + offset, c->count - offset)) {
        uint8_t *message = c->buffer + offset;
        uint64_t size = element_size(message);
        if (size > c->count - offset)
            break;
        outcome result;
        switch (tlv_get_envelope_type(message)) {
        case "CHRQ"_tlv:
            result = handle_challenge_request(c, message, size);
            break;
        case "LOGN"_tlv:
            result = handle_login(c, message, size);
            break;
        default:
            result = answer_error(c, "unexpected message");
            break;
        }
        if (result == outcome::deleted)
            return result;
        offset += size;
    }
    memmove(c->buffer, c->buffer + offset, c->count - offset);
    c->count -= offset;
    return outcome::kept;
}

int accept_connection(select_set *set)
{
    auto c = static_cast<remote_connection *>(side_accept(side, set, sizeof(remote_connection), SOCK_NONBLOCK));
    if (c == nullptr)
        return -1;
    c->forwarding_input = -1;
    return 0;
}

// A reserved peer is not read until its event is delivered: its socket
// leaves the read set meanwhile, so that what it sends cannot wake the loop
// turn after turn.
void reserve(remote_connection *c, int input)
{
    c->forwarding_input = input;
    if (c->socket >= 0 && c->socket < FD_SETSIZE)
        FD_CLR(c->socket, &registered->read);
}

void release(remote_connection *c)
{
    c->forwarding_input = -1;
    if (c->socket >= 0 && c->socket < FD_SETSIZE && !c->dropped)
        FD_SET(c->socket, &registered->read);
}

bool concerned(const remote_connection *c, const char *user)
{
    return !c->dropped && (user == nullptr || user[0] == '\0' || strncmp(c->user, user, NOTIFIER_USER_SIZE) == 0);
}

} // namespace

int notifier_output_open(select_set *set)
{
    registered = set;
    if (side_open(side, tcp_socket_new(ORVANE_PORT, nullptr), set) != 0) {
        notifier_output_close(set);
        return -1;
    }
    return 0;
}

void notifier_output_close(select_set *set)
{
    side_close(side, set, connection_delete);
}

bool notifier_output_broken()
{
    return side.broken;
}

int notifier_output_server(select_set *set, const select_set *ready)
{
    int result = side_sweep_exceptions(side, set, ready, connection_delete);

    if (is_set(side.listen_socket, &ready->read) && accept_connection(set) != 0)
        result = -1;

    iterator_ptr it = iterate(LIST_REMOVING);
    if (!it)
        return -1;
    while (list_iterator_next(it.get()) == 0) {
        remote_connection *c = current(it);
        if (c->dropped || (is_set(c->socket, &ready->write) && flush_backlog(c) != 0)) {
            connection_delete(it.get(), set);
            continue;
        }
        if (!is_set(c->socket, &ready->read) || c->forwarding_input != -1)
            continue;
        // A full buffer asks for 0 bytes and so reads 0: a message longer
        // than the buffer ends the connection like a close by the peer.
        ssize_t n = recv(c->socket, c->buffer + c->count, NOTIFIER_REMOTE_BUFFER - c->count, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n < 0) {
            // A reset or any other error ends this peer only; the turn ends
            // here and the other peers are read on the next one.
            perror("recv failed");
            syslog(LOG_ERR, "cannot receive data from a remote connection");
            connection_delete(it.get(), set);
            return -1;
        }
        if (n == 0) {
            connection_delete(it.get(), set);
            syslog(LOG_INFO, "connection closed by a remote peer");
            continue;
        }
        c->count += static_cast<size_t>(n);
        if (handle_messages(c) == outcome::deleted)
            connection_delete(it.get(), set);
    }
    return result;
}

int notifier_output_forward_open(const char *user, int input)
{
    iterator_ptr it = iterate(LIST_READ_ONLY);
    if (!it)
        return -1;
    // Nothing is reserved unless every concerned peer is free, so a busy
    // answer leaves no half-made reservation behind.
    while (list_iterator_next(it.get()) == 0) {
        const remote_connection *c = current(it);
        if (concerned(c, user) && c->forwarding_input != -1 && c->forwarding_input != input)
            return 1;
    }
    list_iterator_reset(it.get());
    while (list_iterator_next(it.get()) == 0) {
        remote_connection *c = current(it);
        if (concerned(c, user))
            reserve(c, input);
    }
    return 0;
}

int notifier_output_forward(int input, const void *data, size_t count)
{
    iterator_ptr it = iterate(LIST_READ_ONLY);
    if (!it)
        return -1;
    while (list_iterator_next(it.get()) == 0) {
        remote_connection *c = current(it);
        if (c->forwarding_input == input && !c->dropped && send_queued(c, data, count) != 0) {
            syslog(LOG_WARNING, "notification cannot be sent to socket %d", c->socket);
            c->dropped = true;
            socket_remove(c->socket, registered);
        }
    }
    return 0;
}

int notifier_output_forward_close(int input)
{
    iterator_ptr it = iterate(LIST_READ_ONLY);
    if (!it)
        return -1;
    while (list_iterator_next(it.get()) == 0) {
        remote_connection *c = current(it);
        if (c->forwarding_input == input)
            release(c);
    }
    return 0;
}
