// The skeleton every daemon on the device shares: leaving the terminal, the
// stop signals, the signal mask around the select loop's wait, and syslog.
// Reporting: before syslog is open, daemon_start prints the failures of
// detaching through perror and ends the process with status 1; after it,
// the caller logs through syslog. Nothing here logs a failure twice.
#pragma once

#include <csignal>
#include <span>
#include <sys/select.h>

struct daemon_setup {
    const char *ident;          // syslog ident
    bool foreground;            // stay attached to the terminal (no fork)
    int log_option;             // openlog options (LOG_PERROR, LOG_CONS)
    volatile sig_atomic_t *run; // loop flag: SIGINT and SIGTERM store 0 in it
    std::span<const int> held;  // signals blocked except during the loop's wait
};

// In this order: detach unless `foreground` (fork, the parent exits 0, a
// failed fork exits 1 silently; setsid "setsid failed"; standard input closed,
// "/dev/null" opened write-only onto 0, 1 and 2 and kept open, "open /dev/null
// failed"; umask 0; chdir "/" "chdir failed"), SIGINT and SIGTERM clear
// `*run` (installed with signal), the held signals blocked, openlog with
// LOG_USER, "start" at LOG_INFO. Returns only in the daemon. When standard
// error is the journal (systemd's JOURNAL_STREAM), LOG_PERROR is left out:
// syslog already brings every line there.
void daemon_start(const daemon_setup &setup);

// Called once, when the program has opened everything and serves: the point
// where a service manager learns that the daemon is ready (READY=1 to
// systemd's NOTIFY_SOCKET; nothing without one). The last notification: what
// the daemon holds open from then on is what it serves with.
void daemon_ready();

// A line for the service manager's status display ("systemctl status"),
// such as what the daemon waits for; nothing without a service manager.
void daemon_status(const char *text);

// One wait of the select loop, without time-out. With `wait_mask`, the
// signal mask during the wait (one pselect: the signals that may be
// delivered only while the loop waits are unblocked and blocked again by the
// kernel, with no call of their own, and any of them pending runs at once).
// The result of select, except that an interrupted wait gives 0 (an empty
// pass); on -1 errno is the one select set.
[[nodiscard]] int daemon_wait(int highest, fd_set *read, fd_set *write, fd_set *except,
                              const sigset_t *wait_mask = nullptr);

// "stop" at LOG_INFO, then closelog.
void daemon_stop();
