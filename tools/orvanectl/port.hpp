// The configurator's end of the ipconf protocol: a UDP socket on port 4445,
// tied to one interface when asked, that broadcasts requests to
// 255.255.255.255:4445 and receives every message on the segment until a
// deadline. Failures are refused with a message (cli.hpp) and give false/-1.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ctl {

using deadline = std::chrono::steady_clock::time_point;
[[nodiscard]] deadline deadline_after(int milliseconds);

// One received datagram. `size` is what the message may be parsed over: the
// envelope's declared size capped at the bytes received (0 when fewer than 8
// bytes came).
struct datagram {
    std::vector<uint8_t> data; // the bytes received
    size_t size = 0;
    uint32_t type = 0;         // envelope type, 0 when size is 0
    std::string sender;        // numeric address text
    uint16_t sender_port = 0;
};

class ipconf_port {
public:
    ipconf_port() = default;
    ~ipconf_port();
    ipconf_port(const ipconf_port &) = delete;
    ipconf_port &operator=(const ipconf_port &) = delete;

    // Binds port 4445 (on `interface` when not empty).
    [[nodiscard]] bool open(const std::string &interface);
    // Broadcasts a finished message (tlv_get_size bytes).
    [[nodiscard]] bool broadcast(const uint8_t *message);
    // Next datagram before the deadline: 1 received, 0 the deadline passed
    // (or SIGINT/SIGTERM cleared `run`), -1 failure.
    [[nodiscard]] int receive(deadline until, datagram &out);

private:
    int socket_ = -1;
};

// The IPv4 addresses of this host's interfaces, as text: a device names the
// configurator a reply is meant for by the address it saw.
[[nodiscard]] std::vector<std::string> local_addresses();
// True when `address` (possibly an IPv4-mapped IPv6 text) is one of them.
[[nodiscard]] bool is_local_address(const std::vector<std::string> &locals, const char *address);

// SIGINT and SIGTERM clear `run` (and interrupt a wait) instead of killing.
void stop_on_signals();

} // namespace ctl
