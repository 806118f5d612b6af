#include "lib/dorvik/rpc_client.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <cerrno>
#include <new>
#include <string>

struct RPCClient {
    dorvik::Fd fd;
    std::string pending; // bytes received after the last reply line
};

namespace {

using dorvik::now_ms;

// Milliseconds left until the deadline for poll; -1 waits without limit.
int left_ms(int64_t deadline)
{
    if (deadline < 0)
        return -1;
    int64_t left = deadline - now_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool wait_for(int fd, short events, int64_t deadline)
{
    pollfd watched{fd, events, 0};
    for (;;) {
        int ready = ::poll(&watched, 1, left_ms(deadline));
        if (ready > 0)
            return true;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR)
            return false;
    }
}

bool send_line(int fd, std::string_view line, int64_t deadline)
{
    while (!line.empty()) {
        if (!wait_for(fd, POLLOUT, deadline))
            return false;
        ssize_t sent = ::send(fd, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (sent < 0)
            return false;
        line.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

bool receive_line(RPCClient &client, std::string &line, int64_t deadline)
{
    for (;;) {
        size_t newline = client.pending.find('\n');
        if (newline != std::string::npos) {
            line.assign(client.pending, 0, newline);
            client.pending.erase(0, newline + 1);
            return true;
        }
        if (client.pending.size() >= RPC_MAX_LINE) {
            errno = EMSGSIZE;
            return false;
        }
        if (!wait_for(client.fd.get(), POLLIN, deadline))
            return false;
        size_t used = client.pending.size();
        client.pending.resize(RPC_MAX_LINE);
        ssize_t got = ::recv(client.fd.get(), client.pending.data() + used, RPC_MAX_LINE - used, MSG_DONTWAIT);
        client.pending.resize(used + (got > 0 ? static_cast<size_t>(got) : 0));
        if (got == 0) {
            errno = ECONNRESET;
            return false;
        }
        if (got < 0 && errno != EAGAIN && errno != EINTR)
            return false;
    }
}

} // namespace

extern "C" {

RPCClient *RPCClient_Open(const char *address)
{
    sockaddr_un name{};
    if (!dorvik::parse_address(address, name)) {
        errno = EINVAL;
        return nullptr;
    }
    dorvik::Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return nullptr;
    int result;
    do
        result = ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&name), sizeof name);
    while (result != 0 && errno == EINTR);
    if (result != 0)
        return nullptr;
    auto *client = new (std::nothrow) RPCClient;
    if (client == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    client->fd = std::move(fd);
    return client;
}

int RPCClient_Call(RPCClient *client, RPCCall *call, const char *function, uint32_t signature, const RPCMsg *request,
                   RPCMsg *reply, int timeout_ms)
{
    if (client == nullptr || call == nullptr || function == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int64_t deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    try {
        std::string line;
        if (!dorvik::encode_request(function, signature, request, line)) {
            errno = EMSGSIZE;
            return -1;
        }
        if (!send_line(client->fd.get(), line, deadline) || !receive_line(*client, line, deadline))
            return -1;
        RPCMsg *results = reply;
        RPCMsg *scratch = nullptr;
        if (results == nullptr && (results = scratch = RPCMsg_Create()) == nullptr)
            return -1;
        uint32_t status = 0;
        bool sound = dorvik::decode_reply(line, status, *results);
        RPCMsg_Destroy(scratch);
        if (!sound) {
            errno = EBADMSG;
            return -1;
        }
        call->status = status;
        return 0;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
}

void RPCClient_Close(RPCClient *client)
{
    delete client;
}

} // extern "C"
