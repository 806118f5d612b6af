#include "ipconf/ipconf_server.hpp"

#include <csignal>

// Placeholder server: it opens nothing, so the loop waits with an empty set.

namespace {

sigset_t signal_set;

void fill_signal_set()
{
    sigemptyset(&signal_set);
    sigaddset(&signal_set, SIGHUP);
    sigaddset(&signal_set, SIGALRM);
}

} // namespace

int ipconf_open(const char *, select_set *)
{
    fill_signal_set();
    ipconf_block_signals();
    return 0;
}

int ipconf_server(select_set *, select_set *)
{
    return 0;
}

void ipconf_close(select_set *) {}

void ipconf_block_signals()
{
    sigprocmask(SIG_BLOCK, &signal_set, nullptr);
}

void ipconf_unblock_signals()
{
    sigprocmask(SIG_UNBLOCK, &signal_set, nullptr);
}
