#include "support/lab.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
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

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

extern char **environ;

namespace lab {

namespace {

// What a dying test process must undo, kept in plain arrays so that the
// crash path needs only async-signal-safe calls (umount2, unlink, kill).
constexpr int max_namespaces = 32;
constexpr int max_processes = 64;
char crash_namespaces[max_namespaces][80];
pid_t crash_processes[max_processes];
pid_t crash_owner = 0;
int lab_sequence = 0;

void crash_register_namespace(const std::string &name)
{
    for (auto &slot : crash_namespaces)
        if (slot[0] == '\0') {
            std::snprintf(slot, sizeof slot, "/run/netns/%s", name.c_str());
            return;
        }
}

void crash_forget_namespace(const std::string &name)
{
    std::string path = "/run/netns/" + name;
    for (auto &slot : crash_namespaces)
        if (path == slot)
            slot[0] = '\0';
}

void crash_register_process(pid_t pid)
{
    for (auto &slot : crash_processes)
        if (slot == 0) {
            slot = pid;
            return;
        }
}

void crash_forget_process(pid_t pid)
{
    for (auto &slot : crash_processes)
        if (slot == pid)
            slot = 0;
}

// Async-signal-safe: kills what the lab started and unmounts its namespaces.
void crash_cleanup()
{
    if (crash_owner != getpid())
        return; // a forked child dying must not tear down its parent's lab
    for (auto &pid : crash_processes)
        if (pid > 0) {
            kill(pid, SIGKILL);
            pid = 0;
        }
    for (auto &path : crash_namespaces)
        if (path[0] != '\0') {
            umount2(path, MNT_DETACH);
            unlink(path);
            path[0] = '\0';
        }
}

void crash_signal(int sig)
{
    crash_cleanup();
    signal(sig, SIG_DFL);
    raise(sig);
}

void install_crash_cleanup()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTERM, SIGINT, SIGHUP})
        signal(sig, crash_signal);
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_death_callback(crash_cleanup);
#endif
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool has_line_with(const std::string &text, const std::string &needle)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.find(needle) != std::string::npos)
            return true;
    return false;
}

int decode_status(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Waits for a child with a bounded number of short naps; -1 on time-out.
int wait_child(pid_t pid, int timeout_ms, int *raw_status = nullptr)
{
    for (int waited = 0;; waited += 5) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (raw_status)
                *raw_status = status;
            return decode_status(status);
        }
        if (r < 0 || waited >= timeout_ms)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<char *> c_argv(const std::vector<std::string> &argv)
{
    std::vector<char *> out;
    for (const auto &arg : argv)
        out.push_back(const_cast<char *>(arg.c_str()));
    out.push_back(nullptr);
    return out;
}

// Runs a command to completion (bounded), its output collected for the
// failure message. The result is the exit status, -1 when it could not run.
int run_command(const std::vector<std::string> &argv, std::string &output)
{
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return -1;
    auto args = c_argv(argv);
    pid_t pid = fork();
    if (pid < 0) {
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(pipe_fds[1], 1);
        dup2(pipe_fds[1], 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    char buffer[512];
    pollfd pfd{pipe_fds[0], POLLIN, 0};
    for (int rounds = 0; rounds < 200 && poll(&pfd, 1, 50) >= 0; ++rounds) {
        if (pfd.revents == 0)
            continue;
        ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        output.append(buffer, static_cast<size_t>(n));
    }
    close(pipe_fds[0]);
    int status = wait_child(pid, 10000);
    if (status < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return status;
}

int open_netns(const std::string &name)
{
    return open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
}

} // namespace

// ---- Process ---------------------------------------------------------------

Process::Process(pid_t pid, std::string out_path, std::string err_path)
    : pid_(pid), out_path_(std::move(out_path)), err_path_(std::move(err_path))
{
}

Process::~Process()
{
    if (!reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    crash_forget_process(pid_);
}

std::string Process::stdout_text() const { return read_file(out_path_); }
std::string Process::stderr_text() const { return read_file(err_path_); }

bool Process::wait_for_line(const std::string &text, int timeout_ms) const
{
    for (int waited = 0; waited <= timeout_ms; waited += 20) {
        if (has_line_with(stderr_text(), text) || has_line_with(stdout_text(), text))
            return true;
        if (reaped_ || kill(pid_, 0) != 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return has_line_with(stderr_text(), text) || has_line_with(stdout_text(), text);
}

bool Process::wait_for_stdout_line(const std::string &text, int timeout_ms) const
{
    for (int waited = 0; waited <= timeout_ms; waited += 20) {
        if (has_line_with(stdout_text(), text))
            return true;
        if (reaped_ || kill(pid_, 0) != 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return has_line_with(stdout_text(), text);
}

bool Process::signal(int sig) const
{
    return !reaped_ && kill(pid_, sig) == 0;
}

int Process::wait(int timeout_ms)
{
    if (reaped_)
        return status_;
    int status = wait_child(pid_, timeout_ms);
    if (status >= 0) {
        reaped_ = true;
        status_ = status;
        crash_forget_process(pid_);
    }
    return status;
}

int Process::stop(int sig, int timeout_ms)
{
    if (reaped_)
        return status_;
    kill(pid_, sig);
    int status = wait(timeout_ms);
    if (status < 0) {
        kill(pid_, SIGKILL);
        status = wait(5000);
    }
    return status;
}

bool Process::running()
{
    if (reaped_)
        return false;
    return wait(0) < 0;
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
}

Inside::Inside(Inside &&other) noexcept : home_fd_(other.home_fd_)
{
    other.home_fd_ = -1;
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

void sweep()
{
    DIR *dir = opendir("/run/netns");
    if (dir == nullptr)
        return;
    std::vector<std::string> dead;
    while (dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (std::strncmp(name, "orv", 3) != 0)
            continue;
        char *end = nullptr;
        long pid = std::strtol(name + 3, &end, 10);
        if (end == name + 3 || (*end != '.' && *end != '-') || pid <= 0)
            continue;
        if (pid != getpid() && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            dead.emplace_back(name);
    }
    closedir(dir);
    for (const auto &name : dead) {
        std::string output;
        run_command({"ip", "netns", "del", name}, output);
    }
    // The file folders of dead runs: /tmp/orvlab.<pid>.XXXXXX
    std::error_code error;
    std::vector<std::filesystem::path> folders;
    for (const auto &entry : std::filesystem::directory_iterator("/tmp", error))
        folders.push_back(entry.path());
    for (const auto &folder : folders) {
        std::string name = folder.filename().string();
        if (name.rfind("orvlab.", 0) != 0)
            continue;
        char *end = nullptr;
        long pid = std::strtol(name.c_str() + 7, &end, 10);
        if (pid > 0 && *end == '.' && pid != getpid() && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            std::filesystem::remove_all(folder, error);
    }
}

Lab::Lab()
{
    install_crash_cleanup();
    if (crash_owner != getpid()) {
        // Entries inherited from a parent process belong to the parent.
        for (auto &slot : crash_namespaces)
            slot[0] = '\0';
        for (auto &slot : crash_processes)
            slot = 0;
        crash_owner = getpid();
    }
    sweep();
    prefix_ = "orv" + std::to_string(getpid()) + "." + std::to_string(lab_sequence++) + "-";
    std::string dir_template = "/tmp/orvlab." + std::to_string(getpid()) + ".XXXXXX";
    if (mkdtemp(dir_template.data()) == nullptr) {
        ADD_FAILURE() << "lab: mkdtemp failed: " << std::strerror(errno);
        return;
    }
    dir_ = dir_template;
    std::string br = prefix_ + "br";
    if (!command({"ip", "netns", "add", br}))
        return;
    crash_register_namespace(br);
    hosts_["br"] = br;
    ok_ = ipv6_off("br") && ip("br", {"link", "set", "lo", "up"}) &&
          ip("br", {"link", "add", "name", "br0", "address", "02:00:00:00:ff:ff", "type", "bridge", "stp_state", "0",
                     "forward_delay", "0", "mcast_snooping", "0"}) &&
          ip("br", {"link", "set", "br0", "up"});
}

Lab::~Lab()
{
    for (const auto &[host, name] : hosts_) {
        std::string output;
        run_command({"ip", "netns", "del", name}, output);
        crash_forget_namespace(name);
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

bool Lab::command(const std::vector<std::string> &argv)
{
    std::string output;
    int status = run_command(argv, output);
    if (status == 0)
        return true;
    std::string line;
    for (const auto &arg : argv)
        line += arg + " ";
    ADD_FAILURE() << "lab: `" << line << "` failed (status " << status << "): " << output;
    return false;
}

std::string Lab::netns(const std::string &host) const
{
    auto found = hosts_.find(host);
    return found == hosts_.end() ? std::string() : found->second;
}

bool Lab::ip(const std::string &host, const std::vector<std::string> &args)
{
    std::string name = netns(host);
    if (name.empty()) {
        ADD_FAILURE() << "lab: no host " << host;
        return false;
    }
    std::vector<std::string> argv{"ip", "-n", name};
    argv.insert(argv.end(), args.begin(), args.end());
    return command(argv);
}

bool Lab::ipv6_off(const std::string &host)
{
    RunResult r = run_in(host, [](std::string &output) {
        for (const char *path : {"/proc/sys/net/ipv6/conf/all/disable_ipv6",
                                 "/proc/sys/net/ipv6/conf/default/disable_ipv6"}) {
            int fd = open(path, O_WRONLY);
            if (fd < 0)
                continue; // no IPv6 in this kernel: nothing to switch off
            if (write(fd, "1", 1) != 1)
                output += path;
            close(fd);
        }
        return output.empty() ? 0 : 1;
    });
    if (r.status != 0)
        ADD_FAILURE() << "lab: disabling IPv6 in " << host << " failed: " << r.output;
    return r.status == 0;
}

bool Lab::add_host(const std::string &host)
{
    if (host.empty() || host.size() > 15 || hosts_.count(host) != 0) {
        ADD_FAILURE() << "lab: bad or duplicate host name '" << host << "'";
        return false;
    }
    std::string name = prefix_ + host;
    if (!command({"ip", "netns", "add", name}))
        return false;
    crash_register_namespace(name);
    hosts_[host] = name;
    return ipv6_off(host) && ip(host, {"link", "set", "lo", "up"});
}

bool Lab::offloads_off(const std::string &host, const std::string &link)
{
    RunResult r = run_in(host, [&link](std::string &output) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return 1;
        int failures = 0;
        for (__u32 cmd : {ETHTOOL_STXCSUM, ETHTOOL_SRXCSUM}) {
            ethtool_value value{};
            value.cmd = cmd;
            value.data = 0;
            ifreq request{};
            std::snprintf(request.ifr_name, IFNAMSIZ, "%s", link.c_str());
            request.ifr_data = reinterpret_cast<char *>(&value);
            if (ioctl(fd, SIOCETHTOOL, &request) != 0) {
                output += std::string("ethtool ") + std::to_string(cmd) + ": " + std::strerror(errno) + "; ";
                ++failures;
            }
        }
        close(fd);
        return failures;
    });
    if (r.status != 0)
        ADD_FAILURE() << "lab: switching checksum offloads off on " << host << "/" << link << " failed: " << r.output;
    return r.status == 0;
}

bool Lab::add_link(const std::string &host, const std::string &link, const std::string &mac,
                   const std::vector<std::string> &addresses, bool up)
{
    std::string host_ns = netns(host);
    if (host_ns.empty() || host == "br") {
        ADD_FAILURE() << "lab: no host " << host;
        return false;
    }
    std::string port = "p" + std::to_string(next_port_++);
    if (!ip(host, {"link", "add", "name", link, "address", mac, "type", "veth", "peer", "name", port, "netns",
                   netns("br")}))
        return false;
    if (!offloads_off(host, link) || !offloads_off("br", port) ||
        !ip("br", {"link", "set", port, "master", "br0"}) || !ip("br", {"link", "set", port, "up"}))
        return false;
    for (const auto &cidr : addresses)
        if (!add_address(host, link, cidr))
            return false;
    return set_up(host, link, up);
}

bool Lab::add_address(const std::string &host, const std::string &link, const std::string &cidr)
{
    return ip(host, {"addr", "add", cidr, "dev", link});
}

bool Lab::set_up(const std::string &host, const std::string &link, bool up)
{
    return ip(host, {"link", "set", link, up ? "up" : "down"});
}

RunResult Lab::run_in(const std::string &host, const std::function<int(std::string &)> &fn, int timeout_ms)
{
    RunResult result;
    std::string name = netns(host);
    int ns_fd = name.empty() ? -1 : open_netns(name);
    int pipe_fds[2];
    if (ns_fd < 0 || pipe2(pipe_fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "lab: cannot run in " << host;
        if (ns_fd >= 0)
            close(ns_fd);
        return result;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int status = 126;
        std::string output;
        if (setns(ns_fd, CLONE_NEWNET) == 0)
            status = fn(output);
        else
            output = std::string("setns: ") + std::strerror(errno);
        for (size_t done = 0; done < output.size();) {
            ssize_t n = write(pipe_fds[1], output.data() + done, output.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        _exit(status & 0xff);
    }
    close(pipe_fds[1]);
    close(ns_fd);
    if (pid < 0) {
        close(pipe_fds[0]);
        ADD_FAILURE() << "lab: fork failed";
        return result;
    }
    crash_register_process(pid);
    char buffer[4096];
    pollfd pfd{pipe_fds[0], POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (poll(&pfd, 1, 50) <= 0)
            continue;
        ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        result.output.append(buffer, static_cast<size_t>(n));
    }
    close(pipe_fds[0]);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    result.status = wait_child(pid, static_cast<int>(std::max<long>(0, left.count())));
    if (result.status < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        ADD_FAILURE() << "lab: function in " << host << " did not finish within " << timeout_ms << " ms";
    }
    crash_forget_process(pid);
    return result;
}

Inside Lab::enter(const std::string &host)
{
    std::string name = netns(host);
    int ns_fd = name.empty() ? -1 : open_netns(name);
    int home_fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    Inside inside(ns_fd, home_fd);
    if (!inside.ok())
        ADD_FAILURE() << "lab: cannot enter " << host;
    return inside;
}

std::unique_ptr<Process> Lab::start(const std::string &host, const std::vector<std::string> &argv,
                                    const StartOptions &options)
{
    std::string name = netns(host);
    if (name.empty() || argv.empty()) {
        ADD_FAILURE() << "lab: cannot start in " << host;
        return nullptr;
    }
    static int process_sequence = 0;
    std::string base = dir_ + "/" + host + "." + std::to_string(process_sequence++) + "." +
                       std::filesystem::path(argv[0]).filename().string();
    std::string out_path = base + ".out", err_path = base + ".err";
    int ns_fd = open_netns(name);
    int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int in_fds[2] = {-1, -1};
    bool piped = !options.stdin_data.empty() && pipe2(in_fds, O_CLOEXEC) == 0;
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    auto args = c_argv(argv);
    std::vector<std::string> env_strings;
    for (char **e = environ; *e; ++e)
        env_strings.emplace_back(*e);
    env_strings.insert(env_strings.end(), options.env.begin(), options.env.end());
    auto envp = c_argv(env_strings);

    pid_t pid = -1;
    if (ns_fd >= 0 && out_fd >= 0 && err_fd >= 0 && null_fd >= 0)
        pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        setpgid(0, 0);
        if (setns(ns_fd, CLONE_NEWNET) != 0)
            _exit(126);
        if (!options.tmp_dir.empty()) {
            if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(options.tmp_dir.c_str(), "/tmp", nullptr, MS_BIND, nullptr) != 0)
                _exit(126);
        }
        dup2(piped ? in_fds[0] : null_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    for (int fd : {ns_fd, out_fd, err_fd, null_fd, in_fds[0]})
        if (fd >= 0)
            close(fd);
    if (pid < 0) {
        if (in_fds[1] >= 0)
            close(in_fds[1]);
        ADD_FAILURE() << "lab: cannot start " << argv[0] << " in " << host;
        return nullptr;
    }
    crash_register_process(pid);
    if (piped) {
        // A small input fits the pipe; a process that never reads it must
        // not hang the test.
        fcntl(in_fds[1], F_SETFL, O_NONBLOCK);
        [[maybe_unused]] ssize_t n = write(in_fds[1], options.stdin_data.data(), options.stdin_data.size());
        close(in_fds[1]);
    }
    return std::make_unique<Process>(pid, out_path, err_path);
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
