// The configurator's link to the device segments: one endpoint per local
// interface, each either a UDP socket on port 4445 tied to the interface or,
// where the interface has no IPv4 address (or raw mode is asked for), a
// link-layer packet socket that sends hand-built IPv4/UDP broadcast frames
// from 0.0.0.0:0 and takes the devices' broadcasts from the frames it sees.
// Every request goes out as a broadcast to 255.255.255.255:4445, so no route
// and no address is needed. Ownership: a link owns its sockets and closes them
// when destroyed. Errors: false / wait::failed with a text in error(); nothing
// is printed and nothing throws.
#pragma once

#include "ipconf/elements.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace configurator {

using clock = std::chrono::steady_clock;

// Ends the waits of every link that was given it, at once, from any thread
// or from a signal handler (cancel() is async-signal-safe). Not reusable.
class cancel_token {
public:
    cancel_token();
    ~cancel_token();
    cancel_token(const cancel_token &) = delete;
    cancel_token &operator=(const cancel_token &) = delete;

    void cancel() noexcept;
    [[nodiscard]] bool cancelled() const noexcept { return cancelled_.load(); }
    // Readable once cancelled; for callers that poll descriptors of their own.
    [[nodiscard]] int fd() const noexcept { return fd_; }

private:
    int fd_ = -1;
    std::atomic<bool> cancelled_{false};
};

// SIGINT and SIGTERM cancel the token instead of ending the process; the
// signal that did is caught_signal() (0 while none came). One token per
// process; the handlers stay installed.
void cancel_on_signals(cancel_token &token);
[[nodiscard]] int caught_signal() noexcept;

struct link_options {
    // Interfaces to use; empty: every interface that is up, broadcast-capable
    // and not loopback.
    std::vector<std::string> interfaces;
    // Packet sockets on every interface, also those with an IPv4 address.
    bool raw = false;
    const cancel_token *cancel = nullptr;
};

// One received message.
struct datagram {
    std::vector<uint8_t> data; // the UDP payload
    size_t size = 0;           // envelope size capped at data.size(); 0 when under 8 bytes
    uint32_t type = 0;         // envelope type; 0 when size is 0
    std::string sender;        // the sender's IPv4 address as text ("0.0.0.0" for an unaddressed one)
    uint16_t sender_port = 0;
    std::string interface; // the local interface it arrived on
    std::chrono::system_clock::time_point time;
};

struct endpoint {
    std::string interface;
    int index = 0;
    bool raw = false;
    std::string address; // ours as the devices see it: the interface's IPv4 address, "0.0.0.0" in raw mode
    int fd = -1;
};

enum class wait { message, deadline, cancelled, failed };

class link {
public:
    link() = default;
    ~link();
    link(const link &) = delete;
    link &operator=(const link &) = delete;

    // Opens an endpoint on every chosen interface. False (error() says why)
    // when a named interface is missing or down, a socket cannot be opened
    // (the text for a missing CAP_NET_RAW says how to grant it), or no
    // interface is left. Without named interfaces and without raw, an
    // unaddressed interface is left out with a note when packet sockets are
    // not allowed.
    [[nodiscard]] bool open(const link_options &options);

    // Broadcasts a message on every endpoint, or on the named interface only.
    // True when at least one copy went out; error() names failed sends.
    bool broadcast(std::span<const uint8_t> message, std::string_view interface = {});

    // The next message that arrives before the deadline or is queued at it.
    [[nodiscard]] wait receive(clock::time_point deadline, datagram &out);

    [[nodiscard]] const std::vector<endpoint> &endpoints() const { return endpoints_; }
    [[nodiscard]] const endpoint *find(std::string_view interface) const;
    [[nodiscard]] const std::string &error() const { return error_; }
    // Interfaces left out, one sentence each.
    [[nodiscard]] const std::vector<std::string> &notes() const { return notes_; }

private:
    bool read(const endpoint &from, datagram &out);
    void close_all();

    std::vector<endpoint> endpoints_;
    const cancel_token *cancel_ = nullptr;
    std::string error_;
    std::vector<std::string> notes_;
    size_t next_ = 0;
};

} // namespace configurator
