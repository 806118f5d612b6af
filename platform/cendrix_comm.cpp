#include "platform/cendrix_comm.hpp"

// Placeholder session: it opens, but the service is not reached yet, so no
// primary interface is known and no product information is available.

namespace {
bool session_open = false;
}

int cendrix_open_session()
{
    if (session_open)
        return -1;
    session_open = true;
    return 0;
}

int cendrix_close_session()
{
    if (!session_open)
        return -1;
    session_open = false;
    return 0;
}

int cendrix_set_hostname(const char *)
{
    return -1;
}

int cendrix_get_product_info(product_info *)
{
    return -1;
}

char *cendrix_get_primary_interface_name()
{
    return nullptr;
}
