// The network side of `orvanectl serve`: discover, configure and watch on the
// interfaces the server was given (all of them when none), each bounded by a
// deadline and ended early by the server's stop token. Callers hold one
// operation at a time (port 4445 is one per interface). Failures come back as
// text, never printed.
#pragma once

#include "configurator/link.hpp"
#include "tools/orvanectl/output.hpp"

#include <string>
#include <vector>

namespace ctl {

// One interface's new settings; empty texts are not sent. `method` is
// "static" (address and netmask set), "dhcp", or "" (unchanged).
struct interface_order {
    std::string mac, method, address, netmask, gateway, dns, wins;
};

// Where the radio works: these interfaces (all when empty); a running
// operation ends when `stop` fires.
struct radio_scope {
    std::vector<std::string> interfaces;
    const configurator::cancel_token *stop = nullptr;
};

struct configure_order {
    std::string puid, user, host_name;
    std::vector<interface_order> interfaces;
};

enum class configure_outcome { ok, refused, timeout, failed };

// Devices as discover --json lists them. False with `failure` set when no
// port could be opened.
[[nodiscard]] bool radio_discover(const radio_scope &scope, int wait_ms, json &devices, std::string &failure);

// Challenge, CONF, then the device's answer within wait_ms. The password is
// wiped before this returns. `detail`: the device's ERROR text, or why it
// failed or timed out.
[[nodiscard]] configure_outcome radio_configure(const radio_scope &scope, const configure_order &order,
                                                std::string &password, int wait_ms, std::string &detail);

// Appends every message seen within wait_ms as {"time", "from", "interface",
// "message"} (message decoded as watch --json shows it).
[[nodiscard]] bool radio_watch(const radio_scope &scope, int wait_ms, std::vector<json> &seen, std::string &failure);

} // namespace ctl
