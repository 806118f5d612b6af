#include "net/socket.hpp"

void select_set_zero(select_set *set)
{
    set->highest = 0;
    FD_ZERO(&set->read);
    FD_ZERO(&set->write);
    FD_ZERO(&set->except);
}

void socket_add(int fd, select_set *set)
{
    // FD_SET outside the set's bit array would write past the record.
    if (fd < 0 || fd >= FD_SETSIZE)
        return;
    if (fd > set->highest)
        set->highest = fd;
    FD_SET(fd, &set->read);
    FD_SET(fd, &set->except);
}

void socket_remove(int fd, select_set *set)
{
    if (fd < 0 || fd >= FD_SETSIZE)
        return;
    FD_CLR(fd, &set->read);
    FD_CLR(fd, &set->write);
    FD_CLR(fd, &set->except);
}
