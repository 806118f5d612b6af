// A configurator on the lab network: a UDP socket on port 4445 tied to the
// link lab0 of a host namespace, broadcasting requests and reading the devices' broadcast
// replies, built and parsed with the project's own message modules.
// Ownership: the peer owns its socket. Errors: false / empty results, never
// exceptions; receive waits are bounded by their time-out.
#pragma once

#include "support/lab.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lab {

using bytes = std::vector<uint8_t>;

// Takes over a malloc'd message from a builder (sized by its envelope) and
// frees it; empty when the builder gave null.
[[nodiscard]] bytes take_message(uint8_t *message);

class IpconfPeer {
public:
    IpconfPeer(Lab &lab, const std::string &host);
    ~IpconfPeer();
    IpconfPeer(const IpconfPeer &) = delete;
    IpconfPeer &operator=(const IpconfPeer &) = delete;

    [[nodiscard]] bool ok() const { return socket_ >= 0; }

    // Broadcasts the bytes to 255.255.255.255 port 4445.
    bool send(const bytes &message) const;

    // The next datagram whose envelope type is `type` (and, when puid is not
    // empty, whose PUID is puid), read within timeout_ms; other datagrams are
    // passed over.
    [[nodiscard]] std::optional<bytes> receive(uint32_t type, int timeout_ms, const std::string &puid = "") const;

    // Every datagram of `type` (and puid) that arrives within window_ms.
    [[nodiscard]] std::vector<bytes> collect(uint32_t type, int window_ms, const std::string &puid = "") const;

    // Reads and drops whatever is queued.
    void drain() const;

private:
    int socket_ = -1;
};

// PUID of a received ipconf or challenge message; empty when it has none.
[[nodiscard]] std::string puid_of(const bytes &message);

} // namespace lab
