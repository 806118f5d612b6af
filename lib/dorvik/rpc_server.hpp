// RPC server on a path-form unix stream socket ("unix:/path"): registered
// functions are called by name with JSON-line requests (docs/rpc.md). Single
// threaded and never blocking: the caller watches the descriptors it reports
// and calls RPCServer_HandleRequest when one is readable. The server owns its
// descriptors and its socket file; results are 0/-1 or null with errno.
#pragma once

#include "lib/dorvik/rpc_msg.hpp"

extern "C" {

struct RPCServer;

// Defaults for the two limits of RPCServer_Open.
inline constexpr int RPC_DEFAULT_MAX_CONNECTIONS = 32;
inline constexpr int RPC_DEFAULT_IDLE_SECONDS = 60;

// Prepares the library (once per opening) and releases it again. Init
// returns 0.
int RPCServer_Init(void);
void RPCServer_Cleanup(void);

// Listens on the address; the socket file gets mode 0660 and is removed again
// on close. A stale socket file nobody listens on is replaced; a live one or
// any other file makes the open fail (EADDRINUSE). max_connections (0: the
// default) bounds the open connections: a new one beyond it pushes out the
// connection that has been quiet longest. idle_seconds (0: the default)
// closes a connection that has sent nothing for that long, checked whenever a
// request is handled. Null on failure.
[[nodiscard]] RPCServer *RPCServer_Open(const char *address, int max_connections, int idle_seconds);

// Requests for name go to the binding with the implementation. A second
// registration of a name replaces the first. 0, or -1 (EINVAL, ENOMEM).
[[nodiscard]] int RPCServer_RegisterFunction(RPCServer *server, const char *name, RPCBinding binding,
                                             RPCImplementation implementation);

// Writes the descriptors to watch for reading (the listening socket first,
// then the connections) and returns how many; -1 when the server is null
// (EINVAL) or they do not fit (ENOBUFS).
[[nodiscard]] int RPCServer_GetAllIOSocket(RPCServer *server, int *descriptors, int capacity);

// Serves one ready descriptor: accepts a connection, or reads what a
// connection sent and answers every complete request line in it, calling
// bindings before it returns. Waits at most timeout_ms for a descriptor to be
// ready (0: not at all; negative: until one is). 1 when a descriptor was
// served, 0 when none was ready, -1 when the server itself fails. What a
// client sends never makes it fail: a bad client is answered and dropped.
[[nodiscard]] int RPCServer_HandleRequest(RPCServer *server, int timeout_ms);

// Closes one connection that the caller found unusable (one that reports an
// exception condition, say), as if its client had gone; the caller fetches
// the descriptors again afterwards. Only a connection is closed this way,
// never the listening socket. 0, or -1: EINVAL when the server is null,
// EBADF when the descriptor is not one of its connections.
[[nodiscard]] int RPCServer_CloseConnection(RPCServer *server, int descriptor);

// Closes the connections and the listening socket, removes the socket file
// if it is still the one this server created, and releases the server.
// Accepts null.
void RPCServer_Close(RPCServer *server);

} // extern "C"
