#include "util/daemon.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

volatile sig_atomic_t *stop_target = nullptr;

// The only thing a stop signal does; select is never restarted after a
// handler, so a wait in progress ends with EINTR and the loop sees the flag.
void stop(int)
{
    *stop_target = 0;
}

[[noreturn]] void fail(const char *text)
{
    std::perror(text);
    std::exit(1);
}

void detach()
{
    const pid_t pid = fork();
    if (pid < 0)
        std::exit(1);
    if (pid > 0)
        std::exit(0);
    if (setsid() < 0)
        fail("setsid failed");
    close(STDIN_FILENO);
    // Takes descriptor 0, the lowest free one, and stays open for the daemon's life.
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0)
        fail("open /dev/null failed");
    dup2(null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    umask(0);
    if (chdir("/") < 0)
        fail("chdir failed");
}

// Whether standard error is the stream systemd connected to the journal.
bool stderr_is_journal()
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    struct stat status {};
    unsigned long long device = 0, inode = 0;
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

} // namespace

void daemon_start(const daemon_setup &setup)
{
    if (!setup.foreground)
        detach();
    stop_target = setup.run;
    std::signal(SIGINT, stop);
    std::signal(SIGTERM, stop);
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : setup.held)
        sigaddset(&held, signal);
    sigprocmask(SIG_BLOCK, &held, nullptr);
    openlog(setup.ident, stderr_is_journal() ? setup.log_option & ~LOG_PERROR : setup.log_option, LOG_USER);
    syslog(LOG_INFO, "start");
}

void daemon_ready()
{
    (void)sd_notify(0, "READY=1");
}

void daemon_status(const char *text)
{
    (void)sd_notifyf(0, "STATUS=%s", text);
}

int daemon_wait(int highest, fd_set *read, fd_set *write, fd_set *except, const sigset_t *wait_mask)
{
    const int result = pselect(highest + 1, read, write, except, nullptr, wait_mask);
    if (result < 0 && errno == EINTR)
        return 0;
    return result;
}

void daemon_stop()
{
    syslog(LOG_INFO, "stop");
    closelog();
}
