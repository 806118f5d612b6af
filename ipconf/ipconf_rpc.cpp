#include "ipconf/ipconf_rpc.hpp"

// No endpoint yet: nothing is opened, registered or served.

int ipconf_rpc_open(int, select_set *)
{
    return 0;
}

int ipconf_rpc_server(select_set *, select_set *)
{
    return 0;
}

void ipconf_rpc_close(select_set *) {}
