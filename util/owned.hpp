// Owning handles for what the C-style modules hand out, so that every way out
// of a function releases it: malloc'd blocks (free), descriptors (close), list
// iterators (list_iterator_free) and the ioctl session of the interface
// queries (a socket and the interface list it filled). Nothing here logs.
#pragma once

#include "util/list.hpp"

#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

struct free_deleter {
    void operator()(void *block) const { std::free(block); }
};

// A block from malloc, calloc or realloc (a message, a text, an address).
template <typename T>
using malloc_ptr = std::unique_ptr<T, free_deleter>;

// One open descriptor, or -1.
class owned_fd {
public:
    owned_fd() = default;
    explicit owned_fd(int fd) : fd_(fd) {}
    ~owned_fd() { reset(); }
    owned_fd(owned_fd &&other) noexcept : fd_(other.release()) {}
    owned_fd &operator=(owned_fd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    owned_fd(const owned_fd &) = delete;
    owned_fd &operator=(const owned_fd &) = delete;

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] explicit operator bool() const { return fd_ >= 0; }
    // Hands the descriptor over; the handle then owns nothing.
    [[nodiscard]] int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the one held; errno survives, so that a failure path that
    // drops the descriptor still reports why the call failed.
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            const int saved = errno;
            close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct iterator_deleter {
    void operator()(list_iterator *it) const { static_cast<void>(list_iterator_free(it)); }
};

using iterator_ptr = std::unique_ptr<list_iterator, iterator_deleter>;

// The socket for interface ioctls and the interface list read through it.
struct ioctl_session {
    owned_fd fd;
    ifconf list{};
    ioctl_session() = default;
    ioctl_session(const ioctl_session &) = delete;
    ioctl_session &operator=(const ioctl_session &) = delete;
    ~ioctl_session() { std::free(list.ifc_buf); }
};
