// notifierd: hosts the event notifier on a device. Local processes write
// events to the unix socket "Tazul_notifier"; remote peers log in over TCP
// port 4445 and receive the events meant for them. The password hashes come
// from the configuration service, so the session with it is opened first.

#include "net/socket.hpp"
#include "notifier/notifier.hpp"
#include "platform/cendrix_comm.hpp"
#include "util/daemon.hpp"

#include <getopt.h>
#include <grp.h>
#include <syslog.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *version_line = "version " ORV_VERSION "\n";

void print_usage(FILE *stream, const char *program)
{
    std::fprintf(stream,
                 "usage: %s [-f] [-h] [-v]\n"
                 "Forwards the events of local processes (unix socket \"Tazul_notifier\")\n"
                 "to remote peers logged in over TCP port 4445.\n"
                 "options:\n"
                 "\t-f, --foreground\tstay in the foreground and log to standard error too\n"
                 "\t-h, --help      \tprint this help\n"
                 "\t-v, --version   \tprint version\n",
                 program);
}

// Cleared by SIGINT and SIGTERM.
volatile sig_atomic_t run = 1;

int serve(select_set *registered)
{
    select_set ready;
    while (run) {
        ready = *registered;
        const int result = daemon_wait(registered->highest, &ready.read, &ready.write, &ready.except);
        if (result < 0) {
            syslog(LOG_ERR, "cannot wait for events: %s", std::strerror(errno));
            return 1;
        }
        if (result == 0)
            continue;
        // A failed turn was a producer's or a peer's doing and is logged
        // already; only a broken listening socket ends the program.
        if (notifier_server(registered, &ready) != 0 && notifier_broken()) {
            syslog(LOG_ERR, "the notifier cannot serve any more, giving up");
            return 1;
        }
    }
    return 0;
}

// Status when another process holds the producers' socket: restarting does
// not help until it goes, and the log names it.
constexpr int exit_name_held = 3;

// Root and this group may write events: NOTIFIERD_PRODUCER_GROUP (a name or
// a number), by default the package's "orvane-events".
gid_t producer_group()
{
    const char *configured = std::getenv("NOTIFIERD_PRODUCER_GROUP");
    const char *name = configured != nullptr && configured[0] != '\0' ? configured : "orvane-events";
    if (const group *found = getgrnam(name))
        return found->gr_gid;
    char *end = nullptr;
    errno = 0;
    const unsigned long number = std::strtoul(name, &end, 10);
    if (errno == 0 && *end == '\0' && name[0] >= '0' && name[0] <= '9' && number < NOTIFIER_ROOT_ONLY)
        return static_cast<gid_t>(number);
    syslog(LOG_WARNING, "no group \"%s\": only root may send events", name);
    return NOTIFIER_ROOT_ONLY;
}

} // namespace

int main(int argc, char **argv)
{
    static const option long_options[] = {
        {"foreground", no_argument, nullptr, 'f'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'v'},
        {nullptr, 0, nullptr, 0},
    };
    bool foreground = false;
    int opt;
    while ((opt = getopt_long(argc, argv, "fhv", long_options, nullptr)) != -1) {
        switch (opt) {
        case 'f':
            foreground = true;
            break;
        case 'h':
            std::fputs(version_line, stdout);
            print_usage(stdout, argv[0]);
            return 0;
        case 'v':
            std::fputs(version_line, stdout);
            return 0;
        default:
            print_usage(stderr, argv[0]);
            return 1;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "%s: unexpected argument '%s'\n", argv[0], argv[optind]);
        print_usage(stderr, argv[0]);
        return 1;
    }

    daemon_start({"notifierd", foreground, foreground ? LOG_PERROR : 0, &run, {}});
    cendrix_set_run_flag(&run);

    select_set registered;
    select_set_zero(&registered);
    int status = 1;
    daemon_status("Waiting for the configuration service");
    if (cendrix_open_session() == 0) {
        const int opened = notifier_open(&registered, producer_group());
        if (opened == 0) {
            syslog(LOG_INFO, "listening on unix socket \"Tazul_notifier\" and TCP port 4445");
            daemon_status("Listening on TCP port 4445");
            daemon_ready();
            status = serve(&registered);
        } else if (opened == NOTIFIER_NAME_HELD) {
            status = exit_name_held;
        }
        notifier_close(&registered);
        static_cast<void>(cendrix_close_session());
    }
    daemon_stop();
    return status;
}
