// The local RPC endpoint through which programs on the device call
// "ipconf_browse": opened last by the ipconf server, served at the start of
// each of its passes, closed with it. Reporting: failures are logged to
// syslog here; the RPC library below reports nothing.
#pragma once

#include "lib/mirel/dictionary.hpp"
#include "net/socket.hpp"

#include <cstdint>

// Opens the endpoint, keeps socket for browsing and registers the endpoint's
// descriptors. 0, or -1.
[[nodiscard]] int ipconf_rpc_open(int socket, select_set *registered);

// Serves one request on a ready descriptor. 0, or -1 on an error. A
// connection with an exception condition is dropped instead (-1, no request
// served in that turn), so that it cannot be reported again.
int ipconf_rpc_server(select_set *registered, select_set *ready);

// Closes the endpoint; accepts one that was never opened.
void ipconf_rpc_close(select_set *registered);

// Looked up by name in the daemon's executable.
extern "C" {
// The RPC library's log output: one syslog line "<context> <text>".
void libmirel_log_callback(const char *text, const char *context);
// The browse behind "ipconf_browse": stores a new dictionary of the devices
// found at *result.
void RPCBind__ipconf_browse(uint64_t context, int32_t timeout, Dictionary **result);
}
