#include "support/dbus_lab.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace lab {

bool write_text(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (out.flush())
        return true;
    ADD_FAILURE() << "dbus lab: cannot write " << path;
    return false;
}

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

DbusLab::DbusLab(std::string dir) : dir_(std::move(dir)), store_path_(dir_ + "/store.json") {}

DbusLab::~DbusLab()
{
    if (service_)
        service_->stop(SIGTERM, 3000);
    if (bus_)
        bus_->stop(SIGTERM, 3000);
}

bool DbusLab::start_bus()
{
    const std::string socket = dir_ + "/bus";
    const std::string config = dir_ + "/bus.conf";
    if (!write_text(config, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
                            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                            "<busconfig><type>system</type><listen>unix:path=" +
                                socket +
                                "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
                                "<allow receive_sender=\"*\"/></policy></busconfig>\n"))
        return false;
    bus_ = spawn({"/usr/bin/dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1", "--nosyslog"},
                 dir_ + "/dbus-daemon");
    // The address is printed once the bus listens.
    if (!bus_ || !bus_->wait_for_line("guid=", 10000)) {
        ADD_FAILURE() << "dbus lab: dbus-daemon did not start: " << (bus_ ? bus_->stderr_text() : "");
        return false;
    }
    address_ = "unix:path=" + socket;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    return true;
}

bool DbusLab::start_service(const std::vector<std::string> &options)
{
    std::vector<std::string> argv = {ORV_BUILD_DIR "/services/cendrixd/cendrixd", "--store", store_path_};
    argv.insert(argv.end(), options.begin(), options.end());
    // Started as systemd starts it: ready once it owns its name.
    NotifySocket notify(dir_);
    service_ = spawn(argv, dir_ + "/cendrixd." + std::to_string(service_runs_++),
                     {.env = {env(), notify.env()}, .tmp_dir = {}, .stdin_data = {}});
    if (service_ && notify.wait_for("READY=1"))
        return true;
    ADD_FAILURE() << "dbus lab: cendrixd does not own its name; its stderr:\n"
                  << (service_ ? service_->stderr_text() : "");
    return false;
}

NotifySocket::NotifySocket(const std::string &dir)
{
    static int sockets = 0;
    path_ = dir + "/notify." + std::to_string(sockets++);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        ADD_FAILURE() << "notify socket " << path_ << ": " << std::strerror(errno);
}

NotifySocket::~NotifySocket()
{
    if (fd_ >= 0)
        close(fd_);
    unlink(path_.c_str());
}

bool NotifySocket::wait_for(const std::string &line, int timeout_ms)
{
    // One deadline for the whole wait, however much else arrives; what is
    // already queued is read even with 0.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (("\n" + received_).find("\n" + line + "\n") == std::string::npos) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd readable{fd_, POLLIN, 0};
        if (poll(&readable, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0)
            return false;
        received_.append(buffer, static_cast<size_t>(n)).append("\n");
    }
    return true;
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
