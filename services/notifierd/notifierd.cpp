// notifierd: hosts the event notifier on a device. Local processes write
// events to the unix socket "Tazul_notifier"; remote peers log in over TCP
// port 4445 and receive the events meant for them. The password hashes come
// from the configuration service, so the session with it is opened first.

#include "net/socket.hpp"
#include "notifier/notifier.hpp"
#include "platform/cendrix_comm.hpp"
#include "util/daemon.hpp"

#include <getopt.h>
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
        if (notifier_open(&registered) == 0) {
            syslog(LOG_INFO, "listening on unix socket \"Tazul_notifier\" and TCP port 4445");
            daemon_status("Listening on TCP port 4445");
            daemon_ready();
            status = serve(&registered);
        }
        notifier_close(&registered);
        static_cast<void>(cendrix_close_session());
    }
    daemon_stop();
    return status;
}
