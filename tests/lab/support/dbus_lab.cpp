#include "support/dbus_lab.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

// Programs linking the daemon's modules need the entry's globals; weak so
// that a test defining its own wins.
extern "C" {
__attribute__((weak)) char ipconf_interface[16] = "";
__attribute__((weak)) volatile sig_atomic_t run = 1;
}

namespace lab {

namespace {

const char *const address_variable = "DBUS_SYSTEM_BUS_ADDRESS";
const std::string service_path = ORV_BUILD_DIR "/services/cendrixd/cendrixd";

std::string bus_config(const std::string &socket_dir)
{
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>system</type>\n"
           "  <listen>unix:dir=" +
           socket_dir +
           "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <allow own=\"*\"/>\n"
           "    <allow send_destination=\"*\"/>\n"
           "    <allow receive_sender=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
}

bool write_text(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

bool is_dbus_daemon(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
    std::string command;
    std::getline(in, command, '\0');
    return command.find("dbus-daemon") != std::string::npos;
}

// Buses whose test process died without stopping them: their folders are
// /run/orvbus.<test pid>.XXXXXX, holding the bus's pid in "pid".
void sweep_buses()
{
    std::error_code error;
    std::vector<std::filesystem::path> stale;
    for (const auto &entry : std::filesystem::directory_iterator("/run", error)) {
        long test_pid = 0;
        const std::string name = entry.path().filename().string();
        if (std::sscanf(name.c_str(), "orvbus.%ld.", &test_pid) != 1)
            continue;
        if (kill(static_cast<pid_t>(test_pid), 0) == 0 || errno != ESRCH)
            continue;
        std::ifstream in(entry.path() / "pid");
        long bus_pid = 0;
        if (in >> bus_pid && bus_pid > 0 && is_dbus_daemon(static_cast<pid_t>(bus_pid)))
            kill(static_cast<pid_t>(bus_pid), SIGKILL);
        stale.push_back(entry.path());
    }
    for (const auto &folder : stale)
        std::filesystem::remove_all(folder, error);
}

// Reads the two lines --print-address and --print-pid write, at most 10 s.
bool read_bus_lines(int fd, std::string &address, pid_t &pid)
{
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::count(text.begin(), text.end(), '\n') < 2 && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0)
            continue;
        char buffer[256];
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count <= 0)
            break;
        text.append(buffer, static_cast<size_t>(count));
    }
    std::istringstream lines(text);
    std::string pid_line;
    if (!std::getline(lines, address) || !std::getline(lines, pid_line) || address.empty())
        return false;
    pid = static_cast<pid_t>(std::atol(pid_line.c_str()));
    return pid > 0;
}

struct bus_unref {
    void operator()(sd_bus *bus) const { sd_bus_flush_close_unref(bus); }
};

} // namespace

std::string sample_store()
{
    return R"({
  "configurations": {
    "17": {"hostname": "device-1"},
    "18": {"product_name": "Sensor Hub", "product_id": "SH-200", "hardware_id": "HW-7",
           "hardware_revision": "B", "software_version": "1.4.2"},
    "6": {"primary_interface_id": 1}
  },
  "resources": {
    "0": [{"id": 1, "login": "admin", "password_sha1": "e5e9fa1ba31ecd1ae84f75caaa474f3a663f05f4"}],
    "6": [{"id": 1, "name": "lab0", "mac": "02:00:00:00:00:01", "link_up": true, "ip_config_id": 10},
          {"id": 2, "name": "lab1", "mac": "02:00:00:00:00:0a", "link_up": false, "ip_config_id": 11}],
    "26": [{"id": 10, "mode": 1, "ipv4": "192.0.2.10", "netmask": "255.255.255.0",
            "gateway": "192.0.2.1", "dns_servers": "192.0.2.53,192.0.2.54", "wins": ""},
           {"id": 11, "mode": 0, "ipv4": "", "netmask": "", "gateway": "", "dns_servers": "", "wins": ""}]
  }
}
)";
}

DbusLab::DbusLab(std::string dir) : dir_(std::move(dir)), store_path_(dir_ + "/store.json")
{
    const char *previous = std::getenv(address_variable);
    had_address_ = previous != nullptr;
    if (had_address_)
        saved_address_ = previous;
    sweep_buses();
}

DbusLab::~DbusLab()
{
    if (service_)
        service_->stop(SIGTERM, 3000);
    service_.reset();
    if (bus_pid_ > 0 && is_dbus_daemon(bus_pid_)) {
        kill(bus_pid_, SIGTERM);
        for (int waited = 0; waited < 3000 && kill(bus_pid_, 0) == 0; waited += 20)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        kill(bus_pid_, SIGKILL);
    }
    std::error_code error;
    if (!socket_dir_.empty())
        std::filesystem::remove_all(socket_dir_, error);
    if (had_address_)
        setenv(address_variable, saved_address_.c_str(), 1);
    else
        unsetenv(address_variable);
}

bool DbusLab::start_bus()
{
    // Outside /tmp: processes with a private /tmp reach the bus as well.
    std::string folder = "/run/orvbus." + std::to_string(getpid()) + ".XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
        ADD_FAILURE() << "dbus lab: cannot create " << folder << ": " << std::strerror(errno);
        return false;
    }
    chmod(folder.c_str(), 0755);
    socket_dir_ = folder;
    const std::string &socket_dir = socket_dir_;
    const std::string config = dir_ + "/bus.conf";
    if (!write_text(config, bus_config(socket_dir))) {
        ADD_FAILURE() << "dbus lab: cannot write " << config;
        return false;
    }
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "dbus lab: pipe failed";
        return false;
    }
    const std::string config_option = "--config-file=" + config;
    const pid_t starter = fork();
    if (starter == 0) {
        dup2(out[1], 1);
        execlp("dbus-daemon", "dbus-daemon", config_option.c_str(), "--fork", "--print-address=1", "--print-pid=1",
               "--nosyslog", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    const bool read = starter > 0 && read_bus_lines(out[0], address_, bus_pid_);
    close(out[0]);
    if (starter > 0)
        waitpid(starter, nullptr, 0);
    if (!read) {
        ADD_FAILURE() << "dbus lab: dbus-daemon did not start";
        return false;
    }
    write_text(socket_dir_ + "/pid", std::to_string(bus_pid_));
    setenv(address_variable, address_.c_str(), 1);
    return true;
}

std::string DbusLab::env() const
{
    return std::string(address_variable) + "=" + address_;
}

std::string DbusLab::absent_address() const
{
    return "unix:path=" + dir_ + "/absent-bus";
}

bool DbusLab::write_store(const std::string &json_text)
{
    if (write_text(store_path_, json_text))
        return true;
    ADD_FAILURE() << "dbus lab: cannot write " << store_path_;
    return false;
}

std::string DbusLab::read_store() const
{
    std::ifstream in(store_path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool DbusLab::start_service(const std::vector<std::string> &options, int timeout_ms)
{
    if (service_ && service_->running()) {
        ADD_FAILURE() << "dbus lab: cendrixd is already running";
        return false;
    }
    const std::string base = dir_ + "/cendrixd." + std::to_string(service_runs_++);
    const std::string out_path = base + ".out", err_path = base + ".err";
    std::vector<std::string> argv = {service_path, "--store", store_path_};
    argv.insert(argv.end(), options.begin(), options.end());
    std::vector<char *> args;
    for (auto &word : argv)
        args.push_back(word.data());
    args.push_back(nullptr);

    const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = out_fd >= 0 && err_fd >= 0 ? fork() : -1;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    for (const int fd : {out_fd, err_fd})
        if (fd >= 0)
            close(fd);
    if (pid < 0) {
        ADD_FAILURE() << "dbus lab: cannot start cendrixd";
        return false;
    }
    service_ = std::make_unique<Process>(pid, out_path, err_path);
    for (int waited = 0; waited <= timeout_ms; waited += 20) {
        if (name_owned())
            return true;
        if (!service_->running())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "dbus lab: cendrixd does not own its name; its stderr:\n" << service_->stderr_text();
    return false;
}

int DbusLab::stop_service(int sig)
{
    return service_ ? service_->stop(sig) : -1;
}

bool DbusLab::name_owned() const
{
    sd_bus *raw = nullptr;
    if (address_.empty() || sd_bus_new(&raw) < 0)
        return false;
    std::unique_ptr<sd_bus, bus_unref> bus(raw);
    if (sd_bus_set_address(raw, address_.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 || sd_bus_start(raw) < 0)
        return false;
    sd_bus_error error = {};  // SD_BUS_ERROR_NULL, which clang -Wpedantic refuses as a C99 compound literal
    sd_bus_message *reply = nullptr;
    int owned = 0;
    const int result = sd_bus_call_method(raw, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                                          "org.cendrix.Config1");
    if (result >= 0)
        sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return result >= 0 && owned != 0;
}

void DbusLabTest::SetUp()
{
    LabTest::SetUp();
    if (IsSkipped() || HasFatalFailure())
        return;
    bus = std::make_unique<DbusLab>(lab->dir());
    ASSERT_TRUE(bus->start_bus());
    ASSERT_TRUE(bus->write_store(sample_store()));
}

void DbusLabTest::TearDown()
{
    bus.reset();
    LabTest::TearDown();
}

} // namespace lab
