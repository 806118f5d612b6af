// Sockets of the daemon and the select set through which every module tells
// the main loop which descriptors to watch.
// Low-level: failures are reported with perror and errno; nothing here logs
// to syslog.
#pragma once

#include <sys/select.h>

// The descriptors the servers watch. The write set is never filled; it is
// handed to select all the same.
struct select_set {
    int highest;      // largest descriptor ever added, never lowered
    fd_set read;
    fd_set write;
    fd_set except;
};

// Empties the set: highest descriptor 0, all three sets cleared.
void select_set_zero(select_set *set);

// Adds the descriptor to the read and exception sets and raises the highest
// descriptor. A descriptor at or above FD_SETSIZE is ignored.
void socket_add(int fd, select_set *set);

// Removes the descriptor from all three sets; the highest descriptor stays.
void socket_remove(int fd, select_set *set);
