// Calls and messages of the RPC library: the call record a binding works on,
// the named values of a request or a reply, the status words, and the line
// format both sides speak (docs/rpc.md). A message owns its values, also a
// dictionary handed over by reference; nothing here throws or crashes on bad
// input: readers set the call's status word, writers return -1.
#pragma once

#include "lib/mirel/dictionary.hpp"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>

#include <unistd.h>

extern "C" {

// Status words of a reply. 0 is the only one that carries results.
inline constexpr uint32_t RPC_STATUS_OK = 0;
inline constexpr uint32_t RPC_STATUS_MALFORMED = 1;        // not a request object; connection closed
inline constexpr uint32_t RPC_STATUS_TOO_LONG = 2;         // line over RPC_MAX_LINE; connection closed
inline constexpr uint32_t RPC_STATUS_UNKNOWN_FUNCTION = 3; // no function of that name
inline constexpr uint32_t RPC_STATUS_BAD_SIGNATURE = 4;    // signature of the request is wrong
inline constexpr uint32_t RPC_STATUS_MISSING_ARGUMENT = 5; // argument not in the request
inline constexpr uint32_t RPC_STATUS_BAD_ARGUMENT = 6;     // argument of the wrong type or range
inline constexpr uint32_t RPC_STATUS_REPLY_TOO_LONG = 7;   // results would not fit in one line
inline constexpr uint32_t RPC_STATUS_NO_MEMORY = 8;        // the server ran out of memory

// Longest line either side sends or accepts, its newline included.
inline constexpr size_t RPC_MAX_LINE = 65536;

// One call as its binding sees it. The server sets context (a number unique
// per call of that server) and status 0 before calling the binding.
struct RPCCall {
    uint64_t context;
    uint32_t status;
};

// A request (function name, signature, arguments) or a reply (results).
struct RPCMsg;

// A binding unpacks the request, calls the implementation registered with it
// (cast back to its real type) and packs the reply; a non-zero status in the
// call record makes the reply carry that status and no results.
typedef void (*RPCImplementation)(void);
typedef void (*RPCBinding)(RPCCall *call, RPCImplementation implementation, RPCMsg *request, RPCMsg *reply);

// A new empty message, or null (ENOMEM). Destroy accepts null.
[[nodiscard]] RPCMsg *RPCMsg_Create(void);
void RPCMsg_Destroy(RPCMsg *msg);

// The signature carried by a request; 0 for null.
[[nodiscard]] uint32_t RPCMsg_GetSignature(const RPCMsg *msg);

// The named signed 32-bit value. When it is missing the call's status becomes
// RPC_STATUS_MISSING_ARGUMENT, when it is not an integer in range
// RPC_STATUS_BAD_ARGUMENT; the result is then 0.
[[nodiscard]] int32_t RPCMsg_Get_Int32(RPCCall *call, const RPCMsg *msg, const char *name);

// Stores a signed 32-bit value under the name. 0, or -1 (status set too).
[[nodiscard]] int RPCMsg_Set_Int32(RPCCall *call, RPCMsg *msg, const char *name, int32_t value);

// Puts the dictionary under the name by reference: the message takes it over
// and destroys it with itself, also when this fails (-1, status set). The
// caller must not use or release it afterwards. 0 on success.
[[nodiscard]] int RPCMsg_Set_Dictionary_ByRef(RPCCall *call, RPCMsg *msg, const char *name, Dictionary *dictionary);

// A new dictionary copied from the named value, which the caller destroys;
// null with the call's status set when the value is missing or not a
// dictionary of texts.
[[nodiscard]] Dictionary *RPCMsg_Get_Dictionary(RPCCall *call, const RPCMsg *msg, const char *name);

} // extern "C"

// The line format, shared by the server and the client of this library.
namespace dorvik {

// Owns one descriptor and closes it.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd &operator=(Fd &&other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    [[nodiscard]] int get() const { return fd_; }

private:
    int fd_ = -1;
};

// Milliseconds on the monotonic clock, for deadlines and idle times.
[[nodiscard]] inline int64_t now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// "unix:<path>" with a path that fits a unix socket address. false otherwise.
[[nodiscard]] bool parse_address(const char *address, sockaddr_un &out);

// Reads one request line (without its newline). RPC_STATUS_OK, or
// RPC_STATUS_MALFORMED for anything that is not a request object.
[[nodiscard]] uint32_t decode_request(std::string_view line, RPCMsg &request, std::string &function);

// The request line with its newline; false when it cannot be formed or is too long.
[[nodiscard]] bool encode_request(std::string_view function, uint32_t signature, const RPCMsg *args, std::string &line);

// The reply line with its newline; results (null: none) only with status 0.
// Results too long for a line give a RPC_STATUS_REPLY_TOO_LONG reply instead.
[[nodiscard]] std::string encode_reply(uint32_t status, const RPCMsg *results) noexcept;

// Reads one reply line (without its newline) into status and results.
[[nodiscard]] bool decode_reply(std::string_view line, uint32_t &status, RPCMsg &results);

} // namespace dorvik
