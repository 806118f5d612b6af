#include "lib/dorvik/rpc_server.hpp"

#include "lib/mirel/log.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {

using dorvik::Fd;
using dorvik::now_ms;

int library_users = 0;

struct Connection {
    Fd fd;
    std::string buffer; // bytes of the line not complete yet, at most RPC_MAX_LINE
    int64_t last_active_ms = 0;
};

struct Function {
    std::string name;
    RPCBinding binding;
    RPCImplementation implementation;
};

// Sends the whole reply without waiting. A client that does not take its
// replies (its receive queue full) loses the connection rather than stalling
// the server.
bool send_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t sent = ::send(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

bool is_stale_socket(const sockaddr_un &address)
{
    struct stat info {};
    // Only a socket of our own user is ever replaced: a name another user
    // made in a shared folder is theirs.
    if (::lstat(address.sun_path, &info) != 0 || !S_ISSOCK(info.st_mode) || info.st_uid != ::geteuid())
        return false;
    Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe.get() < 0)
        return false;
    return ::connect(probe.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 &&
           errno == ECONNREFUSED;
}

} // namespace

struct RPCServer {
    Fd listener;
    sockaddr_un address{};
    dev_t file_dev = 0;
    ino_t file_ino = 0;
    std::vector<Connection> connections;
    std::vector<Function> functions;
    size_t max_connections = RPC_DEFAULT_MAX_CONNECTIONS;
    int64_t idle_ms = RPC_DEFAULT_IDLE_SECONDS * 1000;
    size_t next = 0; // where the search for a ready descriptor starts: turns go round
    uint64_t calls = 0;

    void drop(size_t index, const char *why)
    {
        Log_Write(LOG_LEVEL_INFO, "closing connection %d: %s", connections[index].fd.get(), why);
        connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(index));
    }

    // The connection that has been quiet longest.
    size_t quietest() const
    {
        auto it = std::min_element(connections.begin(), connections.end(),
                                   [](const auto &a, const auto &b) { return a.last_active_ms < b.last_active_ms; });
        return static_cast<size_t>(it - connections.begin());
    }

    void expire_idle(int64_t now)
    {
        for (size_t i = connections.size(); i-- > 0;) {
            if (now - connections[i].last_active_ms >= idle_ms)
                drop(i, "idle");
        }
    }

    int accept_one();
    void serve(size_t index, short events);
    // Answers one complete line; false when the connection must be closed.
    bool answer(Connection &connection, std::string_view line);
};

int RPCServer::accept_one()
{
    Fd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (fd.get() < 0) {
        switch (errno) {
        case EAGAIN:
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
            return 0;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            // Out of descriptors: give one back so the next turn can accept,
            // rather than finding the listener readable forever.
            Log_Write(LOG_LEVEL_WARNING, "cannot accept a connection: %s", std::strerror(errno));
            if (!connections.empty())
                drop(quietest(), "descriptors exhausted");
            return 0;
        default:
            Log_Write(LOG_LEVEL_ERROR, "accept failed: %s", std::strerror(errno));
            return -1;
        }
    }
    try {
        if (connections.size() >= max_connections)
            drop(quietest(), "too many connections");
        connections.push_back(Connection{std::move(fd), std::string(), now_ms()});
    } catch (const std::bad_alloc &) {
        Log_Write(LOG_LEVEL_WARNING, "out of memory: connection refused");
        return 0;
    }
    Log_Write(LOG_LEVEL_INFO, "connection %d accepted", connections.back().fd.get());
    return 1;
}

bool RPCServer::answer(Connection &connection, std::string_view line)
{
    RPCCall call{++calls, RPC_STATUS_OK};
    RPCMsg *request = RPCMsg_Create();
    RPCMsg *reply = RPCMsg_Create();
    std::string function;
    bool keep = true;
    if (request == nullptr || reply == nullptr) {
        call.status = RPC_STATUS_NO_MEMORY;
    } else {
        call.status = dorvik::decode_request(line, *request, function);
        if (call.status != RPC_STATUS_OK) {
            Log_Write(LOG_LEVEL_WARNING, "malformed request on connection %d", connection.fd.get());
            keep = false;
        }
    }
    if (call.status == RPC_STATUS_OK) {
        auto found =
            std::find_if(functions.begin(), functions.end(), [&](const Function &f) { return f.name == function; });
        if (found == functions.end()) {
            Log_Write(LOG_LEVEL_WARNING, "call of unknown function \"%.64s\"", function.c_str());
            call.status = RPC_STATUS_UNKNOWN_FUNCTION;
        } else {
            found->binding(&call, found->implementation, request, reply);
        }
    }
    std::string text = dorvik::encode_reply(call.status, reply);
    RPCMsg_Destroy(request);
    RPCMsg_Destroy(reply);
    return send_all(connection.fd.get(), text) && keep;
}

void RPCServer::serve(size_t index, short events)
{
    Connection &connection = connections[index];
    if ((events & (POLLPRI | POLLNVAL)) != 0) {
        drop(index, "urgent data or invalid descriptor");
        return;
    }
    size_t used = connection.buffer.size();
    try {
        connection.buffer.resize(RPC_MAX_LINE);
    } catch (const std::bad_alloc &) {
        drop(index, "out of memory");
        return;
    }
    ssize_t got = ::recv(connection.fd.get(), connection.buffer.data() + used, RPC_MAX_LINE - used, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        connection.buffer.resize(used);
        return;
    }
    if (got <= 0) {
        drop(index,
             got == 0 ? (used == 0 ? "closed by client" : "closed by client mid-request") : std::strerror(errno));
        return;
    }
    connection.buffer.resize(used + static_cast<size_t>(got));
    connection.last_active_ms = now_ms();

    size_t start = 0;
    for (size_t newline; (newline = connection.buffer.find('\n', start)) != std::string::npos; start = newline + 1) {
        if (!answer(connection, std::string_view(connection.buffer).substr(start, newline - start))) {
            drop(index, "bad request or reply not taken");
            return;
        }
    }
    connection.buffer.erase(0, start);
    if (connection.buffer.size() >= RPC_MAX_LINE) {
        Log_Write(LOG_LEVEL_WARNING, "request line too long on connection %d", connection.fd.get());
        (void)send_all(connection.fd.get(), dorvik::encode_reply(RPC_STATUS_TOO_LONG, nullptr));
        drop(index, "line too long");
    }
}

extern "C" {

int RPCServer_Init(void)
{
    ++library_users;
    return 0;
}

void RPCServer_Cleanup(void)
{
    if (library_users > 0)
        --library_users;
}

RPCServer *RPCServer_Open(const char *address, int max_connections, int idle_seconds)
{
    if (max_connections < 0 || idle_seconds < 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto *server = new (std::nothrow) RPCServer;
    if (server == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (max_connections > 0)
        server->max_connections = static_cast<size_t>(max_connections);
    if (idle_seconds > 0)
        server->idle_ms = static_cast<int64_t>(idle_seconds) * 1000;

    auto fail = [&](const char *what) -> RPCServer * {
        int saved = errno;
        Log_Write(LOG_LEVEL_ERROR, "%s %s: %s", what, address != nullptr ? address : "(null)", std::strerror(saved));
        delete server;
        errno = saved;
        return nullptr;
    };
    if (!dorvik::parse_address(address, server->address)) {
        errno = EINVAL;
        return fail("bad address");
    }
    server->listener = Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (server->listener.get() < 0)
        return fail("cannot create socket for");
    const auto *name = reinterpret_cast<const sockaddr *>(&server->address);
    if (::bind(server->listener.get(), name, sizeof server->address) != 0) {
        if (errno != EADDRINUSE || !is_stale_socket(server->address)) {
            errno = EADDRINUSE;
            return fail("cannot bind");
        }
        Log_Write(LOG_LEVEL_NOTICE, "replacing stale socket %s", server->address.sun_path);
        ::unlink(server->address.sun_path);
        if (::bind(server->listener.get(), name, sizeof server->address) != 0)
            return fail("cannot bind");
    }
    struct stat info {};
    // Nobody can connect before listen, so the mode is right before anyone can use it.
    if (::chmod(server->address.sun_path, 0660) != 0 || ::lstat(server->address.sun_path, &info) != 0) {
        int saved = errno;
        ::unlink(server->address.sun_path);
        errno = saved;
        return fail("cannot set the mode of");
    }
    server->file_dev = info.st_dev;
    server->file_ino = info.st_ino;
    if (::listen(server->listener.get(), 16) != 0) {
        int saved = errno;
        ::unlink(server->address.sun_path);
        errno = saved;
        return fail("cannot listen on");
    }
    Log_Write(LOG_LEVEL_NOTICE, "listening on %s", address);
    return server;
}

int RPCServer_RegisterFunction(RPCServer *server, const char *name, RPCBinding binding,
                               RPCImplementation implementation)
{
    if (server == nullptr || name == nullptr || name[0] == '\0' || binding == nullptr) {
        errno = EINVAL;
        return -1;
    }
    try {
        auto found = std::find_if(server->functions.begin(), server->functions.end(),
                                  [&](const Function &f) { return f.name == name; });
        if (found != server->functions.end()) {
            found->binding = binding;
            found->implementation = implementation;
        } else {
            server->functions.push_back(Function{name, binding, implementation});
        }
        return 0;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
}

int RPCServer_GetAllIOSocket(RPCServer *server, int *descriptors, int capacity)
{
    if (server == nullptr || descriptors == nullptr || capacity < 0) {
        errno = EINVAL;
        return -1;
    }
    size_t count = 1 + server->connections.size();
    if (count > static_cast<size_t>(capacity)) {
        errno = ENOBUFS;
        return -1;
    }
    descriptors[0] = server->listener.get();
    for (size_t i = 0; i < server->connections.size(); ++i)
        descriptors[i + 1] = server->connections[i].fd.get();
    return static_cast<int>(count);
}

int RPCServer_HandleRequest(RPCServer *server, int timeout_ms)
{
    if (server == nullptr) {
        errno = EINVAL;
        return -1;
    }
    server->expire_idle(now_ms());

    std::vector<pollfd> watched;
    try {
        watched.reserve(1 + server->connections.size());
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
    watched.push_back(pollfd{server->listener.get(), POLLIN, 0});
    for (const auto &connection : server->connections)
        watched.push_back(pollfd{connection.fd.get(), POLLIN | POLLPRI, 0});

    int ready = ::poll(watched.data(), watched.size(), timeout_ms);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    if (ready == 0)
        return 0;

    for (size_t step = 0; step < watched.size(); ++step) {
        size_t at = (server->next + step) % watched.size();
        short events = watched[at].revents;
        if (events == 0)
            continue;
        server->next = at + 1;
        if (at == 0) {
            if ((events & (POLLERR | POLLNVAL)) != 0) {
                Log_Write(LOG_LEVEL_ERROR, "listening socket failed");
                errno = EIO;
                return -1;
            }
            return server->accept_one() < 0 ? -1 : 1;
        }
        server->serve(at - 1, events);
        return 1;
    }
    return 0;
}

int RPCServer_CloseConnection(RPCServer *server, int descriptor)
{
    if (server == nullptr) {
        errno = EINVAL;
        return -1;
    }
    auto found = std::find_if(server->connections.begin(), server->connections.end(),
                              [&](const Connection &c) { return c.fd.get() == descriptor; });
    if (descriptor < 0 || found == server->connections.end()) {
        errno = EBADF;
        return -1;
    }
    server->drop(static_cast<size_t>(found - server->connections.begin()), "closed by the caller");
    return 0;
}

void RPCServer_Close(RPCServer *server)
{
    if (server == nullptr)
        return;
    server->connections.clear();
    server->listener.reset();
    // Remove the socket file only while it is still ours: another server may
    // have replaced it meanwhile.
    struct stat info {};
    if (server->address.sun_path[0] != '\0' && ::lstat(server->address.sun_path, &info) == 0 &&
        info.st_dev == server->file_dev && info.st_ino == server->file_ino)
        ::unlink(server->address.sun_path);
    Log_Write(LOG_LEVEL_INFO, "closed %s", server->address.sun_path);
    delete server;
}

} // extern "C"
