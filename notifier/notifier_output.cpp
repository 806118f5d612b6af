#include "notifier/notifier_output.hpp"

#include "ipconf/auth.hpp"
#include "ipconf/auth_msg.hpp"
#include "net/socket.hpp"
#include "notifier/connection_list.hpp"
#include "platform/cendrix_comm.hpp"
#include "util/bytes.hpp"
#include "util/io.hpp"
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

constexpr uint32_t TYPE_CHRQ = tlv_stringtype("CHRQ");
constexpr uint32_t TYPE_LOGN = tlv_stringtype("LOGN");
constexpr size_t PASSWORD_HASH_SIZE = 20;
constexpr size_t CHALLENGE_BYTES = 4;

struct remote_connection {
    int socket;
    uint8_t buffer[NOTIFIER_REMOTE_BUFFER];
    size_t count;
    uint32_t challenge;
    char user[NOTIFIER_USER_SIZE];
    int forwarding_input;
};

int listen_socket = -1;
list *connections = nullptr;

using notifier_detail::element_size;
using notifier_detail::is_set;
using notifier_detail::iterator_ptr;

using message_ptr = malloc_ptr<uint8_t>;

iterator_ptr iterate(int mode)
{
    iterator_ptr it(list_iterator_new(connections, mode));
    if (!it)
        syslog(LOG_ERR, "cannot list the remote connections");
    return it;
}

remote_connection *current(const iterator_ptr &it)
{
    return static_cast<remote_connection *>(list_iterator_get(it.get()));
}

// Every byte to the peer, or both reports of the failed send.
int send_to_peer(int fd, const void *data, size_t count)
{
    if (send_all(fd, data, count) == 0)
        return 0;
    perror("send failed");
    syslog(LOG_ERR, "cannot send data to a remote connection");
    return -1;
}

int send_message(const remote_connection *c, const uint8_t *message)
{
    return send_to_peer(c->socket, message, tlv_get_size(message));
}

int send_error(const remote_connection *c, const char *text)
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
    free(c);
}

enum class outcome { kept, deleted };

outcome answer_error(const remote_connection *c, const char *text)
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
    message_ptr reply(
        auth_msg_build_challenge(reinterpret_cast<const uint8_t *>(&c->challenge), CHALLENGE_BYTES, nullptr, nullptr));
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

    // The name ends at its first zero or at the end of its payload, whose
    // length sits in the header just before it: nothing past the field is
    // read, terminated or not.
    size_t field = load_be32(reinterpret_cast<const uint8_t *>(user) - 4);
    size_t length = strnlen(user, field);
    if (length >= NOTIFIER_USER_SIZE)
        return answer_error(c, "user name too long");
    char name[NOTIFIER_USER_SIZE];
    memcpy(name, user, length);
    name[length] = '\0';

    uint8_t hash[PASSWORD_HASH_SIZE];
    if (cendrix_get_password_sha1(name, hash) != 0)
        return answer_error(c, "password check error");

    int checked = check_password(reinterpret_cast<const uint8_t *>(&c->challenge), CHALLENGE_BYTES, hash, pass);
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
        case TYPE_CHRQ:
            result = handle_challenge_request(c, message, size);
            break;
        case TYPE_LOGN:
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
    auto c = static_cast<remote_connection *>(malloc(sizeof(remote_connection)));
    if (c == nullptr) {
        perror("malloc failed");
        syslog(LOG_ERR, "cannot accept a new remote connection");
        return -1;
    }
    c->socket = accept(listen_socket, nullptr, nullptr);
    if (c->socket >= FD_SETSIZE) {
        // select cannot watch it; refuse it like any failed accept.
        close(c->socket);
        c->socket = -1;
        errno = EMFILE;
    }
    if (c->socket < 0) {
        perror("accept failed");
        syslog(LOG_WARNING, "error when accepting a remote connection");
        free(c);
        return -1;
    }
    if (list_add(connections, c, nullptr) != 0) {
        syslog(LOG_ERR, "cannot add a new remote connection");
        close(c->socket);
        free(c);
        return -1;
    }
    c->count = 0;
    c->challenge = 0;
    c->user[0] = '\0';
    c->forwarding_input = -1;
    socket_add(c->socket, set);
    syslog(LOG_INFO, "connection opened by a remote peer");
    return 0;
}

bool concerned(const remote_connection *c, const char *user)
{
    return user == nullptr || user[0] == '\0' || strncmp(c->user, user, NOTIFIER_USER_SIZE) == 0;
}

} // namespace

int notifier_output_open(select_set *set)
{
    listen_socket = tcp_socket_new(NOTIFIER_TCP_PORT, nullptr);
    if (listen_socket < 0) {
        syslog(LOG_ERR, "cannot open socket to receive remote connections");
        notifier_output_close(set);
        return -1;
    }
    if (listen(listen_socket, 3) != 0) {
        perror("listen failed");
        syslog(LOG_ERR, "cannot listen for remote connections");
        notifier_output_close(set);
        return -1;
    }
    socket_add(listen_socket, set);
    connections = list_new();
    if (connections == nullptr) {
        syslog(LOG_ERR, "cannot create list of remote connections");
        notifier_output_close(set);
        return -1;
    }
    return 0;
}

void notifier_output_close(select_set *set)
{
    if (listen_socket >= 0) {
        socket_remove(listen_socket, set);
        close(listen_socket);
        listen_socket = -1;
    }
    if (connections == nullptr)
        return;
    if (iterator_ptr it{list_iterator_new(connections, LIST_REMOVING)}) {
        while (list_iterator_next(it.get()) == 0)
            connection_delete(it.get(), set);
    }
    static_cast<void>(list_free(connections));
    connections = nullptr;
}

int notifier_output_server(select_set *set, const select_set *ready)
{
    int result = 0;

    if (is_set(listen_socket, &ready->except)) {
        syslog(LOG_ERR, "error on remote listening socket");
        result = -1;
    } else if (iterator_ptr it = iterate(LIST_REMOVING)) {
        while (list_iterator_next(it.get()) == 0) {
            if (is_set(current(it)->socket, &ready->except)) {
                syslog(LOG_WARNING, "error on remote connected socket");
                connection_delete(it.get(), set);
            }
        }
    } else {
        result = -1;
    }

    if (is_set(listen_socket, &ready->read) && accept_connection(set) != 0)
        result = -1;

    iterator_ptr it = iterate(LIST_REMOVING);
    if (!it)
        return -1;
    while (list_iterator_next(it.get()) == 0) {
        remote_connection *c = current(it);
        if (!is_set(c->socket, &ready->read) || c->forwarding_input != -1)
            continue;
        // A full buffer asks for 0 bytes and so reads 0: a message longer
        // than the buffer ends the connection like a close by the peer.
        ssize_t n = recv(c->socket, c->buffer + c->count, NOTIFIER_REMOTE_BUFFER - c->count, 0);
        if (n < 0) {
            perror("recv failed");
            syslog(LOG_ERR, "cannot receive data from a remote connection");
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
            c->forwarding_input = input;
    }
    return 0;
}

int notifier_output_forward(int input, const void *data, size_t count)
{
    iterator_ptr it = iterate(LIST_READ_ONLY);
    if (!it)
        return -1;
    while (list_iterator_next(it.get()) == 0) {
        const remote_connection *c = current(it);
        if (c->forwarding_input == input && send_to_peer(c->socket, data, count) != 0)
            syslog(LOG_WARNING, "notification cannot be sent to socket %d", c->socket);
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
            c->forwarding_input = -1;
    }
    return 0;
}
