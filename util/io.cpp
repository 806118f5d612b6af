#include "util/io.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

int send_all(int fd, const void *data, size_t size, int flags)
{
    auto bytes = static_cast<const uint8_t *>(data);
    while (size > 0) {
        const ssize_t sent = send(fd, bytes, size, flags | MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0)
            return -1;
        bytes += sent;
        size -= static_cast<size_t>(sent);
    }
    return 0;
}

int64_t monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

std::string utc_timestamp_text()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03ldZ", static_cast<long>(now.tv_nsec / 1000000));
    return text;
}
