// The local RPC endpoint through which programs on the device call
// "ipconf_browse": opened last by the ipconf server, served at the start of
// each of its passes, closed with it. Failures are logged to syslog.
#pragma once

#include "net/socket.hpp"

// Opens the endpoint, keeps socket for browsing and registers the endpoint's
// descriptors. 0, or -1.
[[nodiscard]] int ipconf_rpc_open(int socket, select_set *registered);

// Serves one request on a ready descriptor. 0, or -1 on an error.
int ipconf_rpc_server(select_set *registered, select_set *ready);

// Closes the endpoint; accepts one that was never opened.
void ipconf_rpc_close(select_set *registered);
