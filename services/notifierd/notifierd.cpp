// notifierd: hosts the event notifier on a device. Local processes write
// events to the unix socket "Tazul_notifier"; remote peers log in over TCP
// port 4445 and receive the events meant for them. The password hashes come
// from the configuration service, so the session with it is opened first.

#include "net/socket.hpp"
#include "notifier/notifier.hpp"
#include "platform/cendrix_comm.hpp"

#include <fcntl.h>
#include <getopt.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
char ipconf_interface[16] = "";
volatile sig_atomic_t run = 1;
}

namespace {

void print_usage(FILE *stream, const char *program)
{
    std::fprintf(stream,
                 "usage: %s [-f] [-h]\n"
                 "Forwards the events of local processes (unix socket \"Tazul_notifier\")\n"
                 "to remote peers logged in over TCP port 4445.\n"
                 "options:\n"
                 "\t-f, --foreground\tstay in the foreground and log to standard error too\n"
                 "\t-h, --help      \tprint this help\n",
                 program);
}

void stop(int)
{
    run = 0;
}

void daemonise()
{
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork failed");
        std::exit(1);
    }
    if (pid > 0)
        std::exit(0);
    if (setsid() < 0) {
        std::perror("setsid failed");
        std::exit(1);
    }
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) {
        std::perror("open /dev/null failed");
        std::exit(1);
    }
    dup2(null_fd, STDIN_FILENO);
    dup2(null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    if (null_fd > STDERR_FILENO)
        close(null_fd);
    umask(0);
    if (chdir("/") < 0)
        std::exit(1);
}

// Without SA_RESTART, so that a stop signal ends the wait in select.
void install_stop_handlers()
{
    struct sigaction action {};
    action.sa_handler = stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int serve(select_set *registered)
{
    select_set ready;
    while (run) {
        ready = *registered;
        const int result = select(registered->highest + 1, &ready.read, &ready.write, &ready.except, nullptr);
        if (result < 0) {
            if (errno == EINTR)
                continue;
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
        {nullptr, 0, nullptr, 0},
    };
    bool foreground = false;
    int opt;
    while ((opt = getopt_long(argc, argv, "fh", long_options, nullptr)) != -1) {
        switch (opt) {
        case 'f':
            foreground = true;
            break;
        case 'h':
            print_usage(stdout, argv[0]);
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

    if (!foreground)
        daemonise();
    install_stop_handlers();
    openlog("notifierd", foreground ? LOG_PERROR : 0, LOG_USER);
    syslog(LOG_INFO, "start");

    select_set registered;
    select_set_zero(&registered);
    int status = 1;
    if (cendrix_open_session() == 0) {
        if (notifier_open(&registered) == 0) {
            syslog(LOG_INFO, "listening on unix socket \"Tazul_notifier\" and TCP port 4445");
            status = serve(&registered);
        }
        notifier_close(&registered);
        static_cast<void>(cendrix_close_session());
    }
    syslog(LOG_INFO, "stop");
    closelog();
    return status;
}
