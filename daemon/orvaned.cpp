// orvaned: makes the device discoverable on its segment and configurable by an
// authorised configurator. Reads the command line, daemonises, connects to the
// configuration service, opens the ipconf server and runs the select loop.

#include "ipconf/ipconf_server.hpp"
#include "net/socket.hpp"
#include "platform/cendrix_comm.hpp"
#include "platform/product_info.hpp"
#include "util/daemon.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

inline constexpr size_t INTERFACE_NAME_SIZE = 16;

// Exported under these names; `run` also ends the configuration service's
// connection retries (handed over with cendrix_set_run_flag).
extern "C" {
char ipconf_interface[INTERFACE_NAME_SIZE] = "";
volatile sig_atomic_t run = 1;
}

namespace {

constexpr const char *version_line = "version " ORV_VERSION "\n";

int foreground = 0;
int log_option = 0;

void print_usage(FILE *stream, const char *program)
{
    std::fprintf(stream, "usage: %s [options]\n", program);
    std::fputs("options:\n", stream);
    std::fputs("\t-h        \tprint this help\n", stream);
    std::fputs("\t-v        \tprint version\n", stream);
    std::fputs("\t-f        \trun in foreground (instead of background daemon by default)\n", stream);
    std::fputs("\t-c        \tlog to console\n", stream);
    std::fputs("\t-m <mode> \t{normal, sleep, rescue, not-configurable}\n", stream);
    std::fputs("\t-u        \tPUID (MAC address of first up interface by default)\n", stream);
    std::fputs("\t-b <network interface to bind to (primary network interface by default)>\n", stream);
}

[[noreturn]] void syntax_error(const char *message, const char *program)
{
    std::fprintf(stderr, "%s %s: %s\n", "ERROR:", message, optarg);
    print_usage(stderr, program);
    std::exit(1);
}

void parse_command_line(int argc, char **argv)
{
    const char *program = argv[0];
    int option;
    while ((option = getopt(argc, argv, "hvfcm:b:u:")) != -1) {
        switch (option) {
        case 'h':
            std::fputs(version_line, stdout);
            print_usage(stdout, program);
            std::exit(0);
        case 'v':
            std::fputs(version_line, stdout);
            std::exit(0);
        case 'f':
            foreground = 1;
            log_option |= LOG_PERROR;
            break;
        case 'c':
            log_option |= LOG_CONS;
            break;
        case 'm':
            if (product_info_set_mode(optarg) != 0)
                syntax_error("unknown mode", program);
            break;
        case 'b':
            // Sixteen characters would leave no room for the terminator.
            if (std::strlen(optarg) >= INTERFACE_NAME_SIZE)
                syntax_error("interface name too long", program);
            std::strcpy(ipconf_interface, optarg);
            break;
        case 'u':
            // A refused PUID is derived from an interface at start-up instead.
            (void)product_info_set_puid(optarg);
            break;
        default:
            print_usage(stderr, program);
            std::exit(1);
        }
    }
}

[[noreturn]] void shut_down(select_set *registered, int status)
{
    cendrix_close_session();
    ipconf_close(registered);
    daemon_stop();
    std::exit(status);
}

// One select over the registered set per pass; SIGHUP and SIGALRM may only
// arrive while the loop waits (the mask the ipconf server gives the wait).
[[noreturn]] void serve(select_set *registered, select_set *ready)
{
    for (;;) {
        if (run == 0)
            shut_down(registered, 0);
        *ready = *registered;
        const int result =
            daemon_wait(registered->highest, &ready->read, &ready->write, &ready->except, ipconf_wait_mask());
        if (result < 0) {
            const int saved_errno = errno;
            std::perror("select failed");
            syslog(LOG_ERR, "cannot wait packet: %d", saved_errno);
            shut_down(registered, 1);
        }
        if (result == 0)
            continue;
        if (ipconf_server(registered, ready) != 0)
            shut_down(registered, 1);
    }
}

} // namespace

int main(int argc, char **argv)
{
    parse_command_line(argc, argv);
    // SIGHUP stays pending outside the loop's wait, also before its handler is installed.
    static constexpr int held[] = {SIGHUP};
    daemon_start({"orvaned", foreground != 0, log_option, &run, held});
    cendrix_set_run_flag(&run);

    static select_set registered;
    static select_set ready;
    select_set_zero(&registered);

    daemon_status("Waiting for the configuration service");
    if (cendrix_open_session() != 0)
        shut_down(&registered, 1);

    if (ipconf_interface[0] == '\0') {
        char *primary = cendrix_get_primary_interface_name();
        if (primary == nullptr) {
            syslog(LOG_ERR, "Could not get primary network interface");
            shut_down(&registered, 0);
        }
        std::snprintf(ipconf_interface, sizeof ipconf_interface, "%s", primary);
        std::free(primary);
    }

    syslog(LOG_INFO, "Trying to bind to %s", ipconf_interface);
    if (ipconf_open(ipconf_interface, &registered) != 0)
        shut_down(&registered, 1);

    char status[48];
    std::snprintf(status, sizeof status, "Serving on %s", ipconf_interface);
    daemon_status(status);
    daemon_ready();
    serve(&registered, &ready);
}
