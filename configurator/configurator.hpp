// The configurator's side of the ipconf protocol, for orvanectl, the lab tests
// and any front end: find the devices on the local segments (one LOOK, the
// INFO replies until a deadline), log in to one and configure it (CHRQ, the
// device's CHAL for our address, CONF with the challenged password, then its
// OK or ERROR), and watch every message on the segments. All of it over a
// link (link.hpp): every interface by default, raw frames where there is no
// address. Every call is bounded by its time-out and ends at once when the
// cancel token fires. Errors come back in the results; nothing is printed
// and nothing throws (allocation failures end a call as outcome::failed).
//
//   configurator::cancel_token stop;
//   configurator::cancel_on_signals(stop);
//   configurator::search where{.timeout = std::chrono::seconds(2), .cancel = &stop};
//   auto found = configurator::find(where);
//   for (const auto &d : found.devices) use(d.puid, d.interface);
#pragma once

#include "configurator/link.hpp"
#include "ipconf/interface_conf.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace configurator {

// Where and how long to look.
struct search {
    std::vector<std::string> interfaces{}; // empty: every suitable interface (link.hpp)
    bool raw = false;                      // packet sockets on every interface
    // find: the window for replies; configure: for the final OK or ERROR
    // (the challenge must come within 5 s of it); watch: 0 runs until cancelled.
    std::chrono::milliseconds timeout{2000};
    const cancel_token *cancel = nullptr;
    // Called about once a second while waiting, with what is awaited and the
    // time left; may be empty.
    std::function<void(const std::string &awaited, std::chrono::milliseconds left)> progress{};
};

enum class outcome {
    ok,        // done (find and watch: also when nothing answered); configure: the device reports it
    refused,   // the device answered with an ERROR (configure)
    timeout,   // no answer in time (configure)
    cancelled, // the cancel token fired
    failed,    // local failure: see error
    // configure, each with the reason in error:
    not_in_force, // the device answered OK, but what it reports afterwards is not what was asked
    no_evidence,  // the challenge, or the OK, came from a host that does not answer as the PUID
    conflict,     // more than one host answers as the PUID: nothing was sent to either
};

// One interface as a device describes it; absent fields are empty.
struct device_interface {
    std::optional<std::string> name, mac;
    std::optional<int> link_state;  // 0 down, 1 up, other values as sent
    std::optional<int> ipv4_method; // 0 static, 2 dhcp, other values as sent
    std::optional<std::string> address, netmask, gateway, broadcast, dns, wins;
};

struct device {
    std::optional<std::string> puid;
    std::optional<uint32_t> mode; // 0 normal, 1 sleep, 2 rescue, 3 not-configurable
    std::optional<std::string> host_name, product_name, product_id, hardware_id, hardware_revision, software_version;
    std::optional<int> protocol;
    std::string address;   // the address the reply came from ("0.0.0.0": the device has none)
    std::string interface; // our interface it was heard on (the first, when heard on several)
    std::vector<device_interface> interfaces;
    // Every address that answered as this PUID, when more than one did: two
    // hosts claim one device (the record is the latest reply's). Empty
    // otherwise.
    std::vector<std::string> claimed_by;
};

// What one discover keeps: a site has hundreds of devices; a segment that
// answers with more is flooded, and the replies beyond are counted instead.
inline constexpr size_t max_devices = 4096;
inline constexpr size_t max_claimants = 16;

// An INFO message into a device record; false when it does not parse. The
// address and interface come from the datagram.
[[nodiscard]] bool decode_info(const datagram &info, device &out);

struct find_result {
    outcome result = outcome::failed;
    std::vector<device> devices;    // one per PUID (the latest reply), sorted by PUID; those without one last
    size_t dropped = 0;             // replies not kept: beyond max_devices or max_claimants
    std::string error;              // outcome::failed: why
    std::vector<std::string> notes; // interfaces left out (link::notes)
};

// Broadcasts one LOOK and collects the INFO replies for search.timeout.
[[nodiscard]] find_result find(const search &where);

// Settings for one of the device's interfaces, named by its MAC; empty texts
// and IPV4_MODE_NOT_SET are not sent.
struct interface_setting {
    std::string mac;
    int ipv4_method = IPV4_MODE_NOT_SET; // or IPV4_STATIC, IPV4_DHCP
    std::string address{}, netmask{}, gateway{}, dns{}, wins{};
};

struct configuration {
    std::string puid; // upper case, as the device sends it
    std::string user;
    std::array<uint8_t, 20> password_hash{}; // SHA-1 of the password (password_hash())
    std::string host_name{};                 // empty: unchanged
    std::vector<interface_setting> interfaces{};
};

[[nodiscard]] std::array<uint8_t, 20> password_hash(std::string_view password);

// The CONF answering a challenge; empty when it cannot be built.
[[nodiscard]] std::vector<uint8_t> build_conf(const configuration &request, std::span<const uint8_t> challenge);

struct configure_result {
    outcome result = outcome::failed;
    std::string device_error;       // outcome::refused: the device's ERROR text
    std::string error;              // every other outcome but ok: what was missing, differs or went wrong
    std::string interface;          // where the device answered, once it did
    std::vector<std::string> notes; // interfaces left out
    // The CONF went out: a device that got it may apply it, also when the
    // result is a time-out or a cancel.
    bool conf_sent = false;
    // outcome::ok: what the device's INFO could not show (an interface it
    // does not list, having no address on it yet), one text each.
    std::vector<std::string> unverified;
};

// The differences between what was asked and what the device reports, one
// text each ("host name \"a\" (asked: \"b\")"); an interface the INFO does
// not list goes to `unlisted`.
[[nodiscard]] std::vector<std::string> differences(const configuration &asked, const device &reported,
                                                   std::vector<std::string> &unlisted);

// Asks for a challenge (and, with a LOOK, who answers as the PUID) on every
// interface of the search. Answers the CHAL from the PUID for our address
// only when the host that sent it also answers the LOOK as the PUID and no
// other host does; then waits for the device's OK or ERROR for us on that
// interface, and after an OK asks once more (a LOOK) and compares the INFO
// with the request.
[[nodiscard]] configure_result configure(const configuration &request, const search &where);

struct watch_result {
    outcome result = outcome::failed; // ok when the time ran out or the callback said stop
    std::string error;
    std::vector<std::string> notes;
};

// Hands every message seen on the interfaces to the callback (which returns
// false to stop), until search.timeout (0: until cancelled).
[[nodiscard]] watch_result watch(const search &where, const std::function<bool(const datagram &)> &on_message);

} // namespace configurator
