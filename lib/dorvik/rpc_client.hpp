// Client side of the RPC library: connects to a server address
// ("unix:/path") and calls its functions, one call at a time, waiting for
// each reply at most a given time. The client owns its connection; results
// are 0/-1 or null with errno.
#pragma once

#include "lib/dorvik/rpc_msg.hpp"

extern "C" {

struct RPCClient;

// Connects to the server. Null on failure (EINVAL for a bad address, else
// the error of socket or connect).
[[nodiscard]] RPCClient *RPCClient_Open(const char *address);

// Calls function with the signature and the arguments in request (null: no
// arguments) and waits at most timeout_ms (negative: without limit) for the
// reply. 0 when a reply came: call->status holds its status word and reply
// (if not null) its results. -1 otherwise: ETIMEDOUT, ECONNRESET when the
// server closed the connection, EMSGSIZE for a line over RPC_MAX_LINE,
// EBADMSG for a reply that is not one; the connection is then unusable.
[[nodiscard]] int RPCClient_Call(RPCClient *client, RPCCall *call, const char *function, uint32_t signature,
                                 const RPCMsg *request, RPCMsg *reply, int timeout_ms);

// Closes the connection. Accepts null.
void RPCClient_Close(RPCClient *client);

} // extern "C"
