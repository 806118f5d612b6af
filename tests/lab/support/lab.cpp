#include "support/lab.hpp"

#include <fcntl.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace lab {

namespace {

// The first lab of a test process gives it a mount namespace of its own
// with an empty tmpfs on /run: the named network namespaces (/run/netns) and
// the lab folders live there and vanish with the process, however it ends.
// Processes the lab starts die with the test (PR_SET_PDEATHSIG), so nothing
// holds a namespace afterwards.
bool private_run()
{
    static const bool done = [] {
        if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount("orvlab", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") == 0)
            return true;
        ADD_FAILURE() << "lab: cannot give the test a private /run: " << std::strerror(errno);
        return false;
    }();
    return done;
}

// Runs a command line to its end; a test failure with its output when it fails.
bool command(const std::string &line)
{
    std::string output;
    FILE *pipe = popen((line + " 2>&1").c_str(), "r");
    char buffer[256];
    while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        output += buffer;
    if (pipe != nullptr && pclose(pipe) == 0)
        return true;
    ADD_FAILURE() << "lab: `" << line << "` failed: " << output;
    return false;
}

std::vector<char *> c_argv(const std::vector<std::string> &argv)
{
    std::vector<char *> out;
    for (const auto &arg : argv)
        out.push_back(const_cast<char *>(arg.c_str()));
    out.push_back(nullptr);
    return out;
}

} // namespace

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int count_lines(const std::string &text, const std::string &needle)
{
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line);)
        count += line.find(needle) != std::string::npos ? 1 : 0;
    return count;
}

std::map<int, std::string> descriptors_of(pid_t pid)
{
    std::map<int, std::string> open;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        std::error_code ignored;
        open[std::stoi(entry.path().filename())] = std::filesystem::read_symlink(entry.path(), ignored).string();
    }
    return open;
}

bool descriptors_settle(pid_t pid, const std::map<int, std::string> &expected)
{
    for (int turns = 0; turns < 100 && descriptors_of(pid) != expected; ++turns)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return descriptors_of(pid) == expected;
}

long cpu_ticks(pid_t pid)
{
    const std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(text.substr(text.rfind(')') + 2)); // from field 3, the state
    std::string skipped;
    long utime = 0, stime = 0;
    for (int number = 3; number < 14; ++number)
        fields >> skipped;
    fields >> utime >> stime;
    return utime + stime;
}

// ---- Process ---------------------------------------------------------------

Process::Process(pid_t pid, std::string out_path, std::string err_path)
    : pid_(pid), out_path_(std::move(out_path)), err_path_(std::move(err_path))
{}

Process::~Process()
{
    if (!reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string Process::stdout_text() const
{
    return read_file(out_path_);
}
std::string Process::stderr_text() const
{
    return read_file(err_path_);
}

bool Process::wait_for_line(const std::string &text, int timeout_ms, int count) const
{
    const auto found = [&] { return count_lines(stderr_text(), text) + count_lines(stdout_text(), text) >= count; };
    for (int waited = 0; waited < timeout_ms && !found() && !reaped_ && kill(pid_, 0) == 0; waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return found();
}

bool Process::signal(int sig) const
{
    return !reaped_ && kill(pid_, sig) == 0;
}

int Process::wait(int timeout_ms)
{
    for (int waited = 0; !reaped_; waited += 5) {
        int status = 0;
        rusage usage{};
        const pid_t r = wait4(pid_, &status, WNOHANG, &usage);
        if (r == pid_) {
            reaped_ = true;
            peak_kb_ = usage.ru_maxrss;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (r < 0 || waited >= timeout_ms) {
            return -1;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return status_;
}

int Process::stop(int sig, int timeout_ms)
{
    signal(sig);
    const int status = wait(timeout_ms);
    if (status >= 0)
        return status;
    signal(SIGKILL);
    return wait(5000);
}

std::unique_ptr<Process> spawn(const std::vector<std::string> &argv, const std::string &log_base,
                               const StartOptions &options, const std::string &netns)
{
    const std::string out_path = log_base + ".out", err_path = log_base + ".err";
    const int ns_fd = netns.empty() ? -1 : open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    // The program is started through a descriptor opened here: a private
    // /tmp hides it when the build folder lies under /tmp.
    const int exe_fd = argv.empty() ? -1 : open(argv[0].c_str(), O_PATH | O_CLOEXEC);
    int in_fds[2] = {-1, -1};
    auto args = c_argv(argv);
    // The inherited environment, where the options' entries replace those of the same name.
    std::vector<std::string> env_strings = options.env;
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        const auto named = [&entry](const std::string &own) {
            return own.substr(0, own.find('=') + 1) == entry.substr(0, entry.find('=') + 1);
        };
        if (std::none_of(options.env.begin(), options.env.end(), named))
            env_strings.push_back(entry);
    }
    auto envp = c_argv(env_strings);

    const pid_t parent = getpid();
    pid_t pid = -1;
    if (exe_fd >= 0 && (netns.empty() || ns_fd >= 0) && out_fd >= 0 && err_fd >= 0 && pipe2(in_fds, O_CLOEXEC) == 0)
        pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        setpgid(0, 0);
        if (getppid() != parent) // the test died before the line above
            _exit(126);
        if (ns_fd >= 0 && setns(ns_fd, CLONE_NEWNET) != 0)
            _exit(126);
        if (!options.tmp_dir.empty() &&
            (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             mount(options.tmp_dir.c_str(), "/tmp", nullptr, MS_BIND, nullptr) != 0))
            _exit(126);
        dup2(in_fds[0], 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        execveat(exe_fd, "", args.data(), envp.data(), AT_EMPTY_PATH);
        // A script (valgrind's launcher) cannot run from a close-on-exec
        // descriptor; its path lies outside /tmp.
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    for (int fd : {ns_fd, out_fd, err_fd, exe_fd, in_fds[0]})
        if (fd >= 0)
            close(fd);
    if (pid > 0) {
        // A small input fits the pipe; a process that never reads it must
        // not hang the test.
        fcntl(in_fds[1], F_SETFL, O_NONBLOCK);
        [[maybe_unused]] ssize_t n = write(in_fds[1], options.stdin_data.data(), options.stdin_data.size());
    }
    if (in_fds[1] >= 0)
        close(in_fds[1]);
    if (pid > 0)
        return std::make_unique<Process>(pid, out_path, err_path);
    ADD_FAILURE() << "lab: cannot start " << (argv.empty() ? "nothing" : argv[0]) << " in '" << netns << "'";
    return nullptr;
}

// ---- Stream ----------------------------------------------------------------

bytes Stream::read(size_t n, int timeout_ms)
{
    bytes out(n);
    size_t have = 0;
    for (pollfd watched{fd_, POLLIN, 0}; have < n && !closed_ && poll(&watched, 1, timeout_ms) > 0;) {
        const ssize_t got = recv(fd_, out.data() + have, n - have, MSG_DONTWAIT);
        closed_ = got == 0 || (got < 0 && errno != EAGAIN);
        have += got > 0 ? static_cast<size_t>(got) : 0;
    }
    out.resize(have);
    return out;
}

std::string Stream::line(int timeout_ms)
{
    std::string text;
    for (bytes c = read(1, timeout_ms); !c.empty(); c = read(1, timeout_ms)) {
        if (c[0] == '\n')
            return text;
        text += static_cast<char>(c[0]);
    }
    return closed_ ? "<closed>" : "<silence>";
}

int connect_stream(const sockaddr *address, socklen_t length, int receive_buffer)
{
    const int fd = socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && receive_buffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    if (fd >= 0 && connect(fd, address, length) == 0)
        return fd;
    ADD_FAILURE() << "lab: cannot connect a stream: " << std::strerror(errno);
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// ---- Inside ----------------------------------------------------------------

Inside::Inside(int ns_fd, int home_fd) : home_fd_(home_fd)
{
    if (home_fd_ >= 0 && (ns_fd < 0 || setns(ns_fd, CLONE_NEWNET) != 0)) {
        close(home_fd_);
        home_fd_ = -1;
    }
    if (ns_fd >= 0)
        close(ns_fd);
    if (home_fd_ < 0)
        ADD_FAILURE() << "lab: cannot enter a namespace";
}

Inside::~Inside()
{
    if (home_fd_ < 0)
        return;
    if (setns(home_fd_, CLONE_NEWNET) != 0) {
        // Staying in a test namespace would let later code send from the
        // wrong place; there is no safe way on.
        std::perror("lab: cannot return to the original network namespace");
        std::abort();
    }
    close(home_fd_);
}

// ---- Lab -------------------------------------------------------------------

Lab::Lab()
{
    if (!private_run())
        return;
    static int sequence = 0;
    prefix_ = "orv" + std::to_string(sequence++) + "-";
    std::string dir = "/run/orvlab.XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        ADD_FAILURE() << "lab: mkdtemp failed: " << std::strerror(errno);
        return;
    }
    dir_ = dir;
    ok_ = add_host("br") &&
          ip("br", {"link", "add", "name", "br0", "address", "02:00:00:00:ff:ff", "type", "bridge", "stp_state", "0",
                    "forward_delay", "0", "mcast_snooping", "0"}) &&
          ip("br", {"link", "set", "br0", "up"});
}

Lab::~Lab()
{
    // Within one process (several tests in a row) a lab's namespaces go with it.
    for (const auto &[host, name] : hosts_) {
        const std::string path = "/run/netns/" + name;
        umount2(path.c_str(), MNT_DETACH);
        unlink(path.c_str());
    }
    std::error_code ignored;
    if (!dir_.empty())
        std::filesystem::remove_all(dir_, ignored);
}

std::string Lab::netns(const std::string &host) const
{
    auto found = hosts_.find(host);
    return found == hosts_.end() ? std::string() : found->second;
}

bool Lab::ip(const std::string &host, const std::vector<std::string> &args)
{
    std::string line = "ip -n " + netns(host);
    for (const auto &arg : args)
        line += " " + arg;
    return command(line);
}

bool Lab::add_host(const std::string &host)
{
    if (host.empty() || host.size() > 15 || hosts_.count(host) != 0) {
        ADD_FAILURE() << "lab: bad or duplicate host name '" << host << "'";
        return false;
    }
    const std::string name = prefix_ + host;
    if (!command("ip netns add " + name))
        return false;
    hosts_[host] = name;
    // No IPv6: no router solicitations or other chatter on the links.
    return command("ip netns exec " + name +
                   " sysctl -qew net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1") &&
           ip(host, {"link", "set", "lo", "up"});
}

bool Lab::add_link(const std::string &host, const std::string &link, const std::string &mac,
                   const std::vector<std::string> &addresses, bool up)
{
    if (netns(host).empty() || host == "br") {
        ADD_FAILURE() << "lab: no host " << host;
        return false;
    }
    const std::string port = std::string("p").append(std::to_string(next_port_++));
    if (!ip(host, {"link", "add", "name", link, "address", mac, "type", "veth", "peer", "name", port, "netns",
                   netns("br")}) ||
        !ip("br", {"link", "set", port, "master", "br0"}) || !ip("br", {"link", "set", port, "up"}))
        return false;
    for (const auto &cidr : addresses)
        if (!ip(host, {"addr", "add", cidr, "dev", link}))
            return false;
    return set_up(host, link, up);
}

bool Lab::set_up(const std::string &host, const std::string &link, bool up)
{
    return ip(host, {"link", "set", link, up ? "up" : "down"});
}

Inside Lab::enter(const std::string &host)
{
    const std::string name = netns(host);
    return Inside(name.empty() ? -1 : open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC),
                  open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
}

std::unique_ptr<Process> Lab::start(const std::string &host, const std::vector<std::string> &argv,
                                    const StartOptions &options)
{
    const std::string name = netns(host);
    if (name.empty() || argv.empty()) {
        ADD_FAILURE() << "lab: cannot start in " << host;
        return nullptr;
    }
    const std::string base = dir_ + "/" + host + "." + std::to_string(next_process_++) + "." +
                             std::filesystem::path(argv[0]).filename().string();
    return spawn(argv, base, options, name);
}

// ---- fixture ---------------------------------------------------------------

void LabTest::SetUp()
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the lab needs root (network namespaces)";
    lab = std::make_unique<Lab>();
    ASSERT_TRUE(lab->ok()) << "lab set-up failed";
}

void LabTest::TearDown()
{
    lab.reset();
}

} // namespace lab
