// A private "system" D-Bus bus for one test, with the reference configuration
// service cendrixd on it, serving a store the test writes. The bus listens on
// a socket in the given folder (a path, reachable from every network
// namespace; the lab's folders are outside /tmp, so processes with a private
// /tmp reach it too) with a policy that allows everything;
// start_bus points DBUS_SYSTEM_BUS_ADDRESS at it in the test process (and so
// in every process the lab starts), and env() gives the same setting for
// processes that must keep to this bus when a second one starts.
// Ownership: the DbusLab stops cendrixd and the bus when destroyed; both die
// with the test process as every process the lab starts.
// Errors: false / null with a GoogleTest failure saying what went wrong.
//
// Typical use:
//   class MyTest : public lab::DbusLabTest {};   // a Lab, a bus, sample_store()
//   TEST_F(MyTest, Something) {
//       ASSERT_TRUE(bus->start_service());        // returns once it owns its name
//       auto d = lab->start("dev", {ORV_BUILD_DIR "/daemon/orvaned", "-f"}, {.env = {bus->env()}, ...});
//   }
#pragma once

#include "support/lab.hpp"

#include <csignal>
#include <memory>
#include <string>
#include <vector>

namespace lab {

// A store with every object the daemon reads: host name "device-1", product
// identity, account "admin" (password "secret"), the primary interface lab0
// (id 1, MAC 02:00:00:00:00:01, IPv4 configuration 10, 192.0.2.10/24) and
// lab1 (id 2, MAC held in lower case 02:00:00:00:00:0a, configuration 11).
[[nodiscard]] std::string sample_store();

// Writes the file whole; false and a test failure when it cannot.
bool write_text(const std::string &path, const std::string &text);

class DbusLab {
public:
    // Files (configuration, socket folder, store, logs) go into `dir`.
    explicit DbusLab(std::string dir);
    ~DbusLab();
    DbusLab(const DbusLab &) = delete;
    DbusLab &operator=(const DbusLab &) = delete;

    // Starts dbus-daemon and points DBUS_SYSTEM_BUS_ADDRESS at it (for good:
    // a later test makes a bus of its own).
    [[nodiscard]] bool start_bus();
    // Stops dbus-daemon (a later start_bus listens on the same address).
    int stop_bus() { return bus_ ? bus_->stop() : -1; }
    [[nodiscard]] const std::string &address() const { return address_; }
    // "DBUS_SYSTEM_BUS_ADDRESS=<address>", for StartOptions::env.
    [[nodiscard]] std::string env() const { return "DBUS_SYSTEM_BUS_ADDRESS=" + address_; }

    [[nodiscard]] const std::string &store_path() const { return store_path_; }
    [[nodiscard]] bool write_store(const std::string &json_text) { return write_text(store_path_, json_text); }
    [[nodiscard]] std::string read_store() const { return read_file(store_path_); }

    // Starts cendrixd with --store and the options, then waits until it owns
    // org.cendrix.Config1 (false if it exits or does not within 10 s).
    [[nodiscard]] bool start_service(const std::vector<std::string> &options = {});
    // The running (or last) cendrixd, or null.
    [[nodiscard]] Process *service() { return service_.get(); }
    // Stops cendrixd with the signal; its status as Process::stop gives it.
    int stop_service(int sig = SIGTERM) { return service_ ? service_->stop(sig) : -1; }

private:
    std::string dir_;
    std::string address_;
    std::string store_path_;
    int service_runs_ = 0;
    std::unique_ptr<Process> bus_;
    std::unique_ptr<Process> service_;
};

// The notification socket that systemd gives a Type=notify service: a
// datagram socket at a path in `dir` (reachable from every namespace), named
// to the service by NOTIFY_SOCKET. Ownership: closes and removes the socket
// when destroyed. Errors: a test failure when it cannot be made.
class NotifySocket {
public:
    explicit NotifySocket(const std::string &dir);
    ~NotifySocket();
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    // "NOTIFY_SOCKET=<path>", for StartOptions::env.
    [[nodiscard]] std::string env() const { return "NOTIFY_SOCKET=" + path_; }
    // Reads notifications until a line equal to `line` ("READY=1") has come;
    // false when none came within timeout_ms of the last one.
    [[nodiscard]] bool wait_for(const std::string &line, int timeout_ms = 10000);
    // Every notification read so far, one line per assignment.
    [[nodiscard]] const std::string &received() const { return received_; }

private:
    int fd_ = -1;
    std::string path_;
    std::string received_;
};

// Base fixture: a Lab (skips when not root), a running bus and the sample
// store written; cendrixd is started by the test.
class DbusLabTest : public LabTest {
protected:
    void SetUp() override;
    void TearDown() override;
    std::unique_ptr<DbusLab> bus;
};

} // namespace lab
