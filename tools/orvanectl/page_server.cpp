#include "tools/orvanectl/page_server.hpp"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace ctl {

namespace {

using clock = std::chrono::steady_clock;

// Beyond the connection slots: workers that take a new connection in and
// make room for it while every slot's worker waits on its client.
constexpr size_t spare_workers = 4;
constexpr int listen_backlog = 128;

void address_text(int fd, bool peer, std::string &ip, int &port)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    auto *any = reinterpret_cast<sockaddr *>(&address);
    if ((peer ? getpeername(fd, any, &length) : getsockname(fd, any, &length)) != 0)
        return;
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&address);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        port = ntohs(in->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&address);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        port = ntohs(in6->sin6_port);
    }
    ip = text;
}

// Waits until the descriptor is ready for `events` or `until` passes.
bool ready(int fd, short events, clock::time_point until)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - clock::now()).count();
        if (left <= 0)
            return false;
        pollfd watched{fd, events, 0};
        const int got = poll(&watched, 1, static_cast<int>(std::min<long long>(left, 60000)));
        if (got > 0)
            return true;
        if (got < 0 && errno != EINTR)
            return false;
    }
}

// A connection's reads, all of one request against one deadline (a read
// time-out would restart with every byte that trickles in).
class deadline_stream final : public httplib::Stream {
public:
    deadline_stream(int fd, std::chrono::milliseconds write_timeout) : fd_(fd), write_timeout_(write_timeout) {}

    void start(clock::time_point deadline)
    {
        deadline_ = deadline;
        expired_ = false;
    }
    [[nodiscard]] bool expired() const { return expired_; }

    bool is_readable() const override { return begin_ < end_ || ready(fd_, POLLIN, deadline_); }
    bool is_writable() const override { return ready(fd_, POLLOUT, clock::now() + write_timeout_); }

    ssize_t read(char *ptr, size_t size) override
    {
        if (begin_ == end_) {
            if (!ready(fd_, POLLIN, deadline_)) {
                expired_ = clock::now() >= deadline_;
                return -1;
            }
            const ssize_t got = recv(fd_, buffer_, sizeof buffer_, MSG_DONTWAIT);
            if (got <= 0)
                return got < 0 && (errno == EAGAIN || errno == EINTR) ? read(ptr, size) : got;
            begin_ = 0;
            end_ = static_cast<size_t>(got);
        }
        const size_t n = std::min(size, end_ - begin_);
        std::memcpy(ptr, buffer_ + begin_, n);
        begin_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char *ptr, size_t size) override
    {
        if (!is_writable())
            return -1;
        const ssize_t sent = send(fd_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        return sent < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : sent;
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override { address_text(fd_, true, ip, port); }
    void get_local_ip_and_port(std::string &ip, int &port) const override { address_text(fd_, false, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    int fd_;
    std::chrono::milliseconds write_timeout_;
    clock::time_point deadline_;
    bool expired_ = false;
    char buffer_[4096];
    size_t begin_ = 0, end_ = 0;
};

struct connection {
    int fd;
    page_server::table *owner;
    clock::time_point waiting_since = clock::now();
    bool kept = false;        // a request of the page in hand
    bool close_after = false; // this reply is the last
    bool dropped = false;     // closed to make room, or by the stop
};

thread_local connection *current = nullptr;

} // namespace

class page_server::table {
public:
    explicit table(size_t cap) : cap_(cap) { open_.reserve(cap); }

    bool enter(connection &added)
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return false;
        if (open_.size() >= cap_) {
            auto oldest = open_.end();
            for (auto at = open_.begin(); at != open_.end(); ++at)
                if (!(*at)->kept && (oldest == open_.end() || (*at)->waiting_since < (*oldest)->waiting_since))
                    oldest = at;
            if (oldest == open_.end())
                return false;
            drop(oldest);
        }
        open_.push_back(&added);
        return true;
    }
    void leave(connection &gone)
    {
        std::lock_guard lock(mutex_);
        if (auto at = std::find(open_.begin(), open_.end(), &gone); at != open_.end())
            open_.erase(at);
    }
    // The connection waits for its next request, from now; false once the
    // server stops or the connection was dropped.
    bool wait_next(connection &waiting)
    {
        std::lock_guard lock(mutex_);
        waiting.kept = false;
        waiting.waiting_since = clock::now();
        return !stopping_ && !waiting.dropped;
    }
    void keep(connection &kept)
    {
        std::lock_guard lock(mutex_);
        kept.kept = !kept.dropped;
    }
    void stop()
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto at = open_.begin(); at != open_.end();)
            if ((*at)->kept)
                ++at;
            else
                at = drop(at);
    }

private:
    // The descriptor stays open while it is listed: its worker closes it only
    // after leave(), which waits for this lock.
    std::vector<connection *>::iterator drop(std::vector<connection *>::iterator at)
    {
        (*at)->dropped = true;
        shutdown((*at)->fd, SHUT_RDWR);
        return open_.erase(at);
    }

    std::mutex mutex_;
    size_t cap_;
    std::vector<connection *> open_;
    bool stopping_ = false;
};

page_server::page_server(connection_limits limits)
    : limits_(limits), table_(std::make_unique<table>(limits.max_connections))
{
    const size_t workers = limits.max_connections + spare_workers;
    new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(limits.request_deadline).count();
    set_keep_alive_timeout(seconds);
    set_read_timeout(seconds);
    set_write_timeout(std::chrono::ceil<std::chrono::seconds>(limits.write_timeout).count());
}

page_server::~page_server() = default;

bool page_server::bind(const std::string &address, int port)
{
    return bind_to_port(address, port) && ::listen(svr_sock_, listen_backlog) == 0;
}

void page_server::keep_request()
{
    if (current)
        current->owner->keep(*current);
}

void page_server::close_after_reply()
{
    if (current)
        current->close_after = true;
}

void page_server::stop_connections()
{
    table_->stop();
}

bool page_server::process_and_close_socket(socket_t sock)
{
    connection held{sock, table_.get()};
    const bool admitted = table_->enter(held);
    if (admitted) {
        deadline_stream stream(sock, limits_.write_timeout);
        current = &held;
        for (size_t served = 0; served < keep_alive_max_count_ && table_->wait_next(held); ++served) {
            stream.start(held.waiting_since + limits_.request_deadline);
            bool closed = false;
            const bool answered = process_request(stream, served + 1 == keep_alive_max_count_, closed, {});
            if (!answered || closed || stream.expired() || held.close_after)
                break;
        }
        current = nullptr;
        table_->leave(held);
    }
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return admitted;
}

} // namespace ctl
