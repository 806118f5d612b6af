// A device and a configurator on one lab bridge, for end-to-end tests of the
// daemon: the device host runs the configuration service on a private bus
// with a store written here, then `orvaned -f`; the configurator host holds
// the configurator library's link on its lab0 (an IpconfPeer), and runs the
// library's configure call there.
// Ownership: everything started is stopped and removed with the Lab.
// Errors: GoogleTest failures and false / empty results; nothing throws.
#pragma once

#include "support/dbus_lab.hpp"
#include "support/lab.hpp"

#include "configurator/configurator.hpp"
#include "tests/unit/tlv_bytes.hpp" // take(): the bytes of a built message

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lab {

using bytes = std::vector<uint8_t>;

// PUID of a received ipconf or challenge message; empty when it has none.
[[nodiscard]] std::string puid_of(const bytes &message);

// What arrives on a socket until nothing comes for quiet_ms (at most 64
// reads): from a UDP socket its datagrams (sender ""), from a packet socket
// the incoming UDP/IPv4 packets with the sender's MAC ("02:00:...").
[[nodiscard]] std::vector<std::pair<std::string, bytes>> drain_socket(int fd, int quiet_ms = 400);

// The configurator library's link on lab0 of a host, with the waits the tests
// use: the next message of a type (any for 0; from the PUID when one is
// given), passing over the others.
class IpconfPeer : public configurator::link {
public:
    IpconfPeer(Lab &lab, const std::string &host);
    [[nodiscard]] bool ok() const { return !endpoints().empty(); }
    bool send(const bytes &message) { return broadcast(message); }
    [[nodiscard]] std::optional<bytes> receive(uint32_t type, int timeout_ms, const std::string &puid = "");
    // Every message of the type (and PUID) that arrives within window_ms
    // (at most `most`); what is already queued also with a window of 0.
    [[nodiscard]] std::vector<bytes> collect(uint32_t type, int window_ms, const std::string &puid = "",
                                             size_t most = SIZE_MAX);
    // Reads and drops whatever is queued.
    void drain() { (void)collect(0, 0); }
    // Sends a LOOK and waits for the INFO that answers it (from the PUID when
    // one is given). What was queued is dropped first: the peer hears its own
    // broadcasts, and a full queue must not swallow the answer.
    [[nodiscard]] std::optional<bytes> look(int timeout_ms, const std::string &puid = "");
};

// Addresses and identity of the lab's device and configurator.
struct DeviceAddresses {
    std::string host;       // lab host name of the device
    std::string mac0, mac1; // MACs of links lab0 and lab1 (lower case)
    std::string ipv4_0, ipv4_1;
};

inline constexpr const char *configurator_address = "192.0.2.20";
inline constexpr const char *login = "admin";
inline constexpr const char *password = "secret";

// Settings of the configuration service the device starts with; the rest
// of the product's identity is the sample store's.
struct DeviceStore {
    std::string host_name = "device-1"; // empty: the service holds none
    std::string product_name = "Sensor Hub";
    std::string product_id = "SH-200";
    std::vector<std::string> more_logins{}; // accounts beside "admin", with the same password
};

// The text in upper case, as the device writes MACs and PUIDs.
[[nodiscard]] std::string upper_case(std::string text);

// The SHA-1 of the lab password, as the service holds it.
[[nodiscard]] inline std::array<uint8_t, 20> password_hash()
{
    return configurator::password_hash(password);
}

class Device {
public:
    // Adds the device host with links lab0 and lab1 (both up and addressed)
    // to the lab; a second or third device gets other MACs and addresses
    // (index 1 or 2).
    Device(Lab &lab, int index = 0);

    [[nodiscard]] const DeviceAddresses &addresses() const { return addresses_; }
    // Its PUID: the MAC of lab0 in upper case.
    [[nodiscard]] std::string puid() const { return upper_case(addresses_.mac0); }
    [[nodiscard]] std::string store_text() const { return bus_ ? bus_->read_store() : ""; }
    // The folder the daemon sees as its /tmp.
    [[nodiscard]] std::string private_tmp() const { return dir_ + "/tmp"; }

    // Writes the store, starts the bus and the service (with extra options
    // such as "--apply-delay", "5") and waits until it answers.
    [[nodiscard]] bool start_service(const std::vector<std::string> &service_options = {});
    // Starts orvaned -f -b lab0 with the options; `wrapper` (e.g. valgrind
    // and its options) goes in front when given, and then runs a copy of the
    // daemon, /tmp/orvaned in the private /tmp.
    [[nodiscard]] bool start_daemon(const std::vector<std::string> &options = {},
                                    const std::vector<std::string> &wrapper = {});

    // "DBUS_SYSTEM_BUS_ADDRESS=..." of the device's bus, for StartOptions::env.
    [[nodiscard]] std::string bus_env() const { return bus_ ? bus_->env() : ""; }

    Process &daemon() { return *daemon_; }
    // The bus and service started by start_service.
    DbusLab &bus() { return *bus_; }
    [[nodiscard]] std::string daemon_log() const { return daemon_ ? daemon_->stderr_text() : ""; }

    // Lines of the daemon's log that contain the text.
    [[nodiscard]] int count_lines(const std::string &text) const { return lab::count_lines(daemon_log(), text); }

    DeviceStore store;
    // Extra "NAME=value" entries for the daemon's environment.
    std::vector<std::string> daemon_env;

private:
    Lab &lab_;
    DeviceAddresses addresses_;
    std::string dir_;
    std::unique_ptr<DbusLab> bus_;
    std::unique_ptr<Process> daemon_; // after bus_: killed before the service it talks to goes
};

// Adds the configurator host "cfg" (link lab0 at configurator_address) and
// its peer; null (with a test failure) when that fails.
[[nodiscard]] std::unique_ptr<IpconfPeer> add_configurator(Lab &lab);

// Base fixture: a Lab (skips when not root) with one device, not started yet,
// and the configurator's peer; a test may add a second device.
class DeviceTest : public LabTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // A request with the lab's login and password.
    static configurator::configuration request(const std::string &puid, const std::string &host_name = "");
    // The library's whole exchange from the configurator host, waiting
    // timeout_ms for the answer.
    configurator::configure_result configure(const configurator::configuration &request, int timeout_ms = 6000);
    std::unique_ptr<Device> device, second;
    std::unique_ptr<IpconfPeer> peer;
};

// Two devices running ("device-2" the second's name) and the configurator
// host "cfg" on one segment, for tests that drive orvanectl from outside.
class SegmentTest : public LabTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // More of the network, before the daemons start.
    virtual void arrange() {}

    struct result {
        int status;
        std::string out, err;
    };
    // orvanectl ARGS on `host`, `input` on its standard input.
    std::unique_ptr<Process> start(const std::string &host, std::vector<std::string> args,
                                   const std::string &input = "", const std::string &tmp = "");
    result ctl(const std::string &host, const std::vector<std::string> &args, const std::string &input = "",
               const std::string &tmp = "");
    // What a started run ends with (status -1 when it was not started or
    // still runs after timeout_ms).
    static result finish(const std::unique_ptr<Process> &run, int timeout_ms = 60000);
    // orvanectl's arguments to configure PUID as admin, the password on
    // standard input, renaming the device; `more` after them.
    static std::vector<std::string> configure(const std::string &puid, const std::string &host_name,
                                              std::vector<std::string> more = {});

    std::vector<std::string> two_options; // the second daemon's command line
    std::unique_ptr<Device> one, two;
};

} // namespace lab
