#include "notifier/connection_list.hpp"

#include "net/socket.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace notifier_detail {

namespace {

// Kept open so that, with every other descriptor in use, one can be freed
// to accept and drop the connection that waits.
int spare_descriptor = -1;

void reserve_spare()
{
    if (spare_descriptor < 0)
        spare_descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

int shed_waiting_connection(int listen_socket)
{
    if (spare_descriptor >= 0) {
        close(spare_descriptor);
        spare_descriptor = -1;
    }
    const int fd = accept(listen_socket, nullptr, nullptr);
    if (fd >= 0)
        close(fd);
    reserve_spare();
    return fd;
}

} // namespace

int side_open(connection_side &side, int socket, select_set *set)
{
    side.listen_socket = socket;
    side.broken = false;
    if (socket < 0) {
        syslog(LOG_ERR, "cannot open socket to receive %s connections", side.kind);
        return -1;
    }
    if (listen(socket, 3) != 0) {
        perror("listen failed");
        syslog(LOG_ERR, "cannot listen for %s connections", side.kind);
        return -1;
    }
    socket_add(socket, set);
    side.connections = list_new();
    if (side.connections == nullptr) {
        syslog(LOG_ERR, "cannot create list of %s connections", side.kind);
        return -1;
    }
    reserve_spare();
    return 0;
}

void side_close(connection_side &side, select_set *set, delete_fn remove)
{
    if (side.listen_socket >= 0) {
        socket_remove(side.listen_socket, set);
        close(side.listen_socket);
        side.listen_socket = -1;
    }
    if (side.connections == nullptr)
        return;
    if (iterator_ptr it{list_iterator_new(side.connections, LIST_REMOVING)}) {
        while (list_iterator_next(it.get()) == 0)
            remove(it.get(), set);
    }
    static_cast<void>(list_free(side.connections));
    side.connections = nullptr;
}

iterator_ptr side_iterate(const connection_side &side, int mode)
{
    iterator_ptr it(list_iterator_new(side.connections, mode));
    if (!it)
        syslog(LOG_ERR, "cannot list the %s connections", side.kind);
    return it;
}

int side_sweep_exceptions(connection_side &side, select_set *set, const select_set *ready, delete_fn remove)
{
    if (is_set(side.listen_socket, &ready->except)) {
        syslog(LOG_ERR, "error on %s listening socket", side.kind);
        side.broken = true;
        return -1;
    }
    iterator_ptr it = side_iterate(side, LIST_REMOVING);
    if (!it)
        return -1;
    while (list_iterator_next(it.get()) == 0) {
        const int fd = *static_cast<const int *>(list_iterator_get(it.get()));
        if (is_set(fd, &ready->except)) {
            syslog(LOG_WARNING, "error on %s connected socket", side.kind);
            remove(it.get(), set);
        }
    }
    return 0;
}

void *side_accept(connection_side &side, select_set *set, size_t record_size, int accept_flags, admit_fn admit)
{
    void *record = calloc(1, record_size);
    if (record == nullptr) {
        perror("malloc failed");
        syslog(LOG_ERR, "cannot accept a new %s connection", side.kind);
        return nullptr;
    }
    int fd = accept4(side.listen_socket, nullptr, nullptr, accept_flags | SOCK_CLOEXEC);
    if (fd >= FD_SETSIZE) {
        close(fd);
        fd = -1;
        errno = EMFILE;
    } else if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
        const int saved = errno;
        static_cast<void>(shed_waiting_connection(side.listen_socket));
        errno = saved;
    }
    if (fd < 0) {
        perror("accept failed");
        syslog(LOG_WARNING, "error when accepting a %s connection", side.kind);
        free(record);
        return nullptr;
    }
    if (admit != nullptr && !admit(fd)) {
        close(fd);
        free(record);
        return nullptr;
    }
    if (list_add(side.connections, record, nullptr) != 0) {
        syslog(LOG_ERR, "cannot add a new %s connection", side.kind);
        close(fd);
        free(record);
        return nullptr;
    }
    *static_cast<int *>(record) = fd;
    socket_add(fd, set);
    syslog(LOG_INFO, "connection opened by a %s", side.someone);
    return record;
}

} // namespace notifier_detail
