// The lab: a private network of Linux network namespaces for tests that send
// real traffic. One namespace per host plus one holding the bridge "br0";
// every host link is a veth pair whose other end is a port of that bridge.
// Ownership: the first Lab moves the test process into a mount namespace of
// its own with a private /run, where the named namespaces and the lab's
// folders live: the kernel removes them when the process ends, also by a
// crash or SIGKILL. Started processes die with the test process.
// Errors: every operation returns false / -1 on failure and records a
// GoogleTest failure naming the command that failed; nothing throws.
//
// Typical use:
//   class MyTest : public lab::LabTest {};          // skips when not root
//   TEST_F(MyTest, Broadcast) {
//       ASSERT_TRUE(lab->add_host("dev"));
//       ASSERT_TRUE(lab->add_link("dev", "lab0", "02:00:00:00:00:01", {"192.0.2.10/24"}));
//       { auto in = lab->enter("dev"); ...sockets made here live in "dev"... }
//       auto p = lab->start("dev", {ORV_BUILD_DIR "/daemon/orvaned", "-f", "-b", "lab0"});
//       EXPECT_TRUE(p->wait_for_line("start", 5000));
//       EXPECT_EQ(p->stop(), 0);
//   }
//
// Naming: namespaces are "orv<seq>-<host>", the bridge namespace
// "orv<seq>-br"; host names are at most 15 characters. Links are set up with
// IPv6 disabled and checksum offload as the kernel sets it: packets of the
// host cross the links with their UDP checksum not yet filled in, as in
// containers and VMs.
#pragma once

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lab {

// A process started inside a host namespace. Its stdout and stderr go to
// files of their own; destroying the handle kills the process (SIGKILL) if it
// still runs. The process is also killed when the test process dies.
class Process {
public:
    Process(pid_t pid, std::string out_path, std::string err_path);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] std::string stdout_text() const;
    [[nodiscard]] std::string stderr_text() const;

    // Waits until `count` lines of stderr and stdout contain the text; false
    // after timeout_ms or when the process ended without writing them.
    [[nodiscard]] bool wait_for_line(const std::string &text, int timeout_ms = 5000, int count = 1) const;

    // Sends a signal (false if the process is already reaped).
    bool signal(int sig) const;

    // Waits for the process to end: its exit status (0..255), 128 + signal
    // number when a signal ended it, -1 when it still runs after timeout_ms.
    [[nodiscard]] int wait(int timeout_ms = 5000);

    // The most memory it held, in kB, once it has been waited for.
    [[nodiscard]] long peak_kb() const { return peak_kb_; }

    // Sends sig, waits up to timeout_ms, then SIGKILL; the status as wait().
    int stop(int sig = SIGTERM, int timeout_ms = 5000);

private:
    pid_t pid_;
    int status_ = -1;
    long peak_kb_ = 0;
    bool reaped_ = false;
    std::string out_path_, err_path_;
};

// Set the fields on a variable, or name all three in a designated
// initializer (-Wextra refuses a partial one).
struct StartOptions {
    // Extra "NAME=value" entries added to the inherited environment.
    std::vector<std::string> env;
    // When not empty, the process sees this directory as its /tmp (a private
    // mount namespace with a bind mount). Processes given the same folder
    // share it.
    std::string tmp_dir;
    // Data written to the process's standard input (then closed); without it
    // stdin is empty.
    std::string stdin_data;
};

// Starts argv[0] (a path, opened before any private /tmp hides it) with stdout and stderr in log_base + ".out" /
// ".err", inside the named network namespace when `netns` is not empty. The process is killed when the test process
// dies.
[[nodiscard]] std::unique_ptr<Process> spawn(const std::vector<std::string> &argv, const std::string &log_base,
                                             const StartOptions &options = {}, const std::string &netns = "");

// The whole content of a file; empty when it cannot be read.
[[nodiscard]] std::string read_file(const std::string &path);

// Lines of the text that contain the needle.
[[nodiscard]] int count_lines(const std::string &text, const std::string &needle);

// A process's open descriptors: number → what it refers to.
[[nodiscard]] std::map<int, std::string> descriptors_of(pid_t pid);
// Waits (at most 5 s) until the process holds exactly the expected descriptors.
[[nodiscard]] bool descriptors_settle(pid_t pid, const std::map<int, std::string> &expected);
// Processor time (user + system, in clock ticks) the process has used.
[[nodiscard]] long cpu_ticks(pid_t pid);

// Entered namespace: the calling thread lives in a host namespace until the
// guard goes out of scope. Sockets opened meanwhile stay in that namespace.
class Inside {
public:
    // Takes both descriptors; a test failure when the namespace cannot be entered.
    Inside(int ns_fd, int home_fd);
    ~Inside();
    Inside(const Inside &) = delete;
    Inside &operator=(const Inside &) = delete;
    [[nodiscard]] bool ok() const { return home_fd_ >= 0; }

private:
    int home_fd_;
};

using bytes = std::vector<uint8_t>;

// One end of a stream connection (TCP or unix), read with time-outs; it owns
// the descriptor.
class Stream {
public:
    explicit Stream(int fd) : fd_(fd) {}
    ~Stream() { close(fd_); }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    bool write(std::string_view data, int flags = 0) const
    {
        return send(fd_, data.data(), data.size(), flags | MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
    }
    bool write(const bytes &data) const { return write({reinterpret_cast<const char *>(data.data()), data.size()}); }
    // n bytes, or what came before timeout_ms or the end of the stream.
    [[nodiscard]] bytes read(size_t n, int timeout_ms = 3000);
    // The next line without its newline; "<closed>" at the end of the
    // stream, "<silence>" after timeout_ms.
    [[nodiscard]] std::string line(int timeout_ms = 5000);
    // Whether a read met the end of the stream.
    [[nodiscard]] bool closed() const { return closed_; }
    // Makes the close a reset instead of an orderly close.
    void reset() const
    {
        const linger abort{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    [[nodiscard]] int fd() const { return fd_; }

private:
    int fd_;
    bool closed_ = false;
};

// A stream socket connected to the address (inside a host namespace when
// called through Lab::open_in), with that receive buffer when not 0; -1 and
// a test failure when it cannot connect.
[[nodiscard]] int connect_stream(const sockaddr *address, socklen_t length, int receive_buffer = 0);

class Lab {
public:
    // Creates the bridge namespace.
    Lab();
    ~Lab();
    Lab(const Lab &) = delete;
    Lab &operator=(const Lab &) = delete;

    [[nodiscard]] bool ok() const { return ok_; }

    // A host namespace with lo up and IPv6 off; no other link.
    [[nodiscard]] bool add_host(const std::string &host);
    // Full namespace name of a host ("orv<seq>-<host>"), or of the
    // bridge namespace for "br".
    [[nodiscard]] std::string netns(const std::string &host) const;

    // A veth link named `link` in the host, its peer a port of br0, with the
    // given MAC ("02:..."), IPv4 addresses in CIDR form ("192.0.2.10/24"),
    // and up or down.
    [[nodiscard]] bool add_link(const std::string &host, const std::string &link, const std::string &mac,
                                const std::vector<std::string> &addresses, bool up = true);
    [[nodiscard]] bool set_up(const std::string &host, const std::string &link, bool up);

    // Runs `ip -n <namespace> <args...>`; false (and a test failure) when it
    // fails.
    [[nodiscard]] bool ip(const std::string &host, const std::vector<std::string> &args);

    // Moves the calling thread into the host namespace for the guard's life.
    [[nodiscard]] Inside enter(const std::string &host);

    // Opens a descriptor inside the host namespace: what `open` returns, or
    // -1 (and nothing opened) when the namespace cannot be entered.
    template <class Open>
    [[nodiscard]] int open_in(const std::string &host, Open open)
    {
        const Inside inside = enter(host);
        return inside.ok() ? open() : -1;
    }

    // Starts argv[0] (path) inside the host namespace.
    [[nodiscard]] std::unique_ptr<Process> start(const std::string &host, const std::vector<std::string> &argv,
                                                 const StartOptions &options = {});

    // A folder for this lab's files (logs, stores, sockets), removed with it;
    // under the private /run, so that processes with a private /tmp reach it too.
    [[nodiscard]] const std::string &dir() const { return dir_; }

private:
    bool ok_ = false;
    std::string prefix_;
    std::string dir_;
    std::map<std::string, std::string> hosts_;
    int next_port_ = 0;
    int next_process_ = 0;
};

// Base fixture: skips the test when not root, else gives a fresh Lab.
class LabTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::unique_ptr<Lab> lab;
};

} // namespace lab
