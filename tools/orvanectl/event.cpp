// orvanectl event: talks to the event notifier. "event send" builds an event
// and hands it to the notifier's local socket, as a program on the device
// does; "event listen" logs in to a notifier over TCP like a remote peer and
// prints every event it receives until interrupted. The password is read from
// a file or standard input, never from the command line, and is never shown.

#include "tools/orvanectl/cli.hpp"
#include "tools/orvanectl/output.hpp"
#include "tools/orvanectl/password.hpp"

#include "configurator/configurator.hpp"
#include "ipconf/auth_msg.hpp"
#include "net/address.hpp"
#include "notifier/notif_msg.hpp"
#include "util/io.hpp"
#include "util/owned.hpp"
#include "util/sha1.hpp"
#include "util/tlv_ez.hpp"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr const char *notifier_socket_name = "Tazul_notifier";
constexpr int login_timeout_ms = 10000;
// Far above any event a device sends; a bigger one is a broken stream.
constexpr size_t max_message = 1 << 20;

template <typename T>
using heap_ptr = malloc_ptr<T>;

bool send_whole(int fd, const uint8_t *data, size_t count)
{
    if (send_all(fd, data, count) == 0)
        return true;
    return ctl::refuse(std::string("cannot send: ") + std::strerror(errno));
}

// ---- event send ----

int run_send(int argc, char **argv);

const ctl::command send_command{
    "event send",
    "[--user NAME] [--module M] [--id ID] [--time T] [KEY=VALUE]...",
    "Build an event and hand it to the notifier on this device (unix socket \"Tazul_notifier\").",
    R"(The event goes to the peers logged in as NAME, or to every connected peer without --user.
--time defaults to the current UTC time; --time "" leaves the time out.
Every KEY=VALUE becomes one INFO pair, in the order given.)",
    run_send,
    0,
    ctl::any_number,
    "KEY=VALUE",
    ctl::command::forms::text_json};

int run_send(int argc, char **argv)
{
    std::string user, module, id, time = utc_timestamp_text();
    std::vector<ctl::option> options{
        {"user", 'u', "NAME", "the user the event is meant for",
         [&](const char *v) { return ctl::parse_user_name("--user", v, user); }},
        {"module", 'm', "M", "the module that raised the event",
         [&](const char *v) {
             module = v;
             return true;
         }},
        {"id", 0, "ID", "the event's identifier",
         [&](const char *v) {
             id = v;
             return true;
         }},
        {"time", 't', "T", "the event's time text",
         [&](const char *v) {
             time = v;
             return true;
         }},
    };
    std::vector<std::string> positional;
    int status = ctl::parse_options(send_command, argc, argv, options, positional);
    if (status != ctl::go_on)
        return status;

    std::vector<std::pair<std::string, std::string>> pairs;
    for (const auto &word : positional) {
        size_t equals = word.find('=');
        if (equals == std::string::npos || equals == 0) {
            ctl::refuse("wants KEY=VALUE, not \"" + ctl::printable(word) + "\"");
            return ctl::exit_failed;
        }
        pairs.emplace_back(word.substr(0, equals), word.substr(equals + 1));
    }

    tlv_writer *writer = notif_msg_open_event(module.c_str(), id.c_str(), time.c_str(), user.c_str());
    for (const auto &[key, value] : pairs) {
        if (writer == nullptr)
            break;
        writer = notif_msg_add_info(writer, key.c_str(), value.c_str());
    }
    heap_ptr<uint8_t> event(writer ? notif_msg_close_event(writer) : nullptr);
    if (!event) {
        ctl::refuse("cannot build the event");
        return ctl::exit_failed;
    }

    owned_fd fd(socket(AF_UNIX, SOCK_STREAM, 0));
    heap_ptr<sockaddr_un> address(unix_abstract_address_new(notifier_socket_name));
    if (fd.get() < 0 || !address) {
        ctl::refuse(std::string("cannot make a unix socket: ") + std::strerror(errno));
        return ctl::exit_failed;
    }
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(address.get()), unix_address_length_get(address.get())) != 0) {
        ctl::refuse(std::string("cannot reach the notifier on this device: ") + std::strerror(errno));
        return ctl::exit_failed;
    }
    size_t size = tlv_get_size(event.get());
    if (!send_whole(fd.get(), event.get(), size))
        return ctl::exit_failed;
    if (ctl::json_output()) {
        ctl::json out = ctl::document();
        out["sent"] = size;
        ctl::print_json_line(out);
    }
    return ctl::exit_ok;
}

// ---- event listen ----

// The signal that ended listening, 0 while it goes on.
volatile sig_atomic_t interrupted = 0;

void on_interrupt(int sig)
{
    interrupted = sig;
}

int run_listen(int argc, char **argv);

const ctl::command listen_command{
    "event listen",
    "ADDRESS --user NAME (--password-file FILE | --password-stdin) [--port PORT] [--count N]",
    "Log in to the notifier at ADDRESS (TCP port 4445) and print every event received, until interrupted.",
    R"(The password is the first line of FILE or of standard input. Events without a user arrive also
before the login completes. Exit status 1 when the notifier refuses the login (its error text is
shown), 2 when it cannot be reached or closes the connection, 3 when the login gets no answer in time.)",
    run_listen,
    1,
    1,
    "ADDRESS",
    ctl::command::forms::text_json};

int connect_to(const std::string &host, const std::string &port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    int error = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (error != 0) {
        ctl::refuse("cannot resolve " + ctl::printable(host) + ": " + gai_strerror(error));
        return -1;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo *)> list(found, freeaddrinfo);
    int last_errno = 0;
    for (addrinfo *ai = found; ai != nullptr; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) {
            last_errno = errno;
            continue;
        }
        // Bounds the connect as well as every later blocking send.
        timeval limit{login_timeout_ms / 1000, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
            return fd;
        last_errno = errno;
        close(fd);
    }
    ctl::refuse("cannot connect to " + ctl::printable(host) + " port " + port + ": " + std::strerror(last_errno));
    return -1;
}

void print_event(const uint8_t *message, size_t size)
{
    auto cursor = const_cast<uint8_t *>(message);
    size_t avail = size;
    char *modl = nullptr, *id = nullptr, *time = nullptr, *user = nullptr;
    if (notif_msg_parse_event(&cursor, &avail, &modl, &id, &time, &user) != 0) {
        ctl::refuse("received an event that cannot be decoded (" + std::to_string(size) + " bytes)");
        return;
    }
    ctl::json pairs = ctl::json::array();
    while (avail > 0) {
        char *key = nullptr, *value = nullptr;
        if (notif_msg_parse_get_info(&cursor, &avail, &key, &value) != 0)
            break;
        pairs.push_back({{"key", key ? ctl::json(element_text(key)) : ctl::json()},
                         {"value", value ? ctl::json(element_text(value)) : ctl::json()}});
    }
    auto optional = [](const char *text) { return text ? ctl::json(element_text(text)) : ctl::json(); };
    ctl::json event = ctl::document();
    event["user"] = optional(user);
    event["module"] = optional(modl);
    event["id"] = optional(id);
    event["time"] = optional(time);
    event["info"] = pairs;
    if (ctl::json_output()) {
        ctl::print_json_line(event);
        return;
    }
    std::string line = "event";
    for (const char *name : {"user", "module", "id", "time"}) {
        if (!event[name].is_null())
            line += std::string(" ") + name + "=" + ctl::printable(event[name].get<std::string>());
    }
    std::printf("%s\n", line.c_str());
    for (const auto &pair : pairs)
        std::printf("    %s=%s\n", ctl::shown(pair["key"]).c_str(), ctl::shown(pair["value"]).c_str());
    std::fflush(stdout);
}

class listener {
public:
    listener(int fd, std::string user, const uint8_t *hash) : fd_(fd), user_(std::move(user))
    {
        std::memcpy(hash_, hash, SHA1_DIGEST_SIZE);
    }

    // 0 after `count` events (0: never), 128 + the signal after an interrupt
    // (130 for Ctrl-C), else the exit status.
    int run(long count)
    {
        heap_ptr<uint8_t> request(auth_msg_build_challenge_request(nullptr));
        if (!request || !send_whole(fd_, request.get(), tlv_get_size(request.get())))
            return ctl::exit_failed;
        const int64_t started = monotonic_ms();
        while (!interrupted) {
            int wait = -1;
            if (!logged_in_) {
                const int64_t spent = monotonic_ms() - started;
                if (spent >= login_timeout_ms) {
                    ctl::refuse("no answer to the login within " + std::to_string(login_timeout_ms / 1000) + " s");
                    return ctl::exit_timeout;
                }
                wait = static_cast<int>(login_timeout_ms - spent);
            }
            pollfd watched{fd_, POLLIN, 0};
            int ready = poll(&watched, 1, wait);
            if (ready < 0 && errno != EINTR) {
                ctl::refuse(std::string("cannot wait: ") + std::strerror(errno));
                return ctl::exit_failed;
            }
            if (ready <= 0)
                continue;
            uint8_t chunk[4096];
            ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ctl::refuse(n == 0 ? "the notifier closed the connection"
                                   : std::string("cannot receive: ") + std::strerror(errno));
                return ctl::exit_failed;
            }
            buffer_.insert(buffer_.end(), chunk, chunk + n);
            int status = handle_messages(count);
            if (status >= 0)
                return status;
        }
        return ctl::exit_signal_base + interrupted;
    }

private:
    // -1 to go on, else the exit status.
    int handle_messages(long count)
    {
        size_t offset = 0;
        int status = -1;
        while (status < 0 && buffer_.size() - offset >= TLV_HEADER_SIZE) {
            uint8_t *message = buffer_.data() + offset;
            uint64_t size = uint64_t{static_cast<uint32_t>(tlv_get_size(message) - TLV_HEADER_SIZE)} + TLV_HEADER_SIZE;
            if (size > max_message) {
                ctl::refuse("the notifier sent a message of " + std::to_string(size) + " bytes; giving up");
                return ctl::exit_failed;
            }
            if (buffer_.size() - offset < size)
                break;
            status = handle_message(message, size, count);
            offset += size;
        }
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<ptrdiff_t>(offset));
        return status;
    }

    int handle_message(uint8_t *message, size_t size, long count)
    {
        switch (tlv_get_envelope_type(message)) {
        case "CHAL"_tlv: {
            uint8_t *cursor = message;
            size_t avail = size;
            uint8_t *challenge = nullptr;
            size_t challenge_size = 0;
            if (auth_msg_parse_challenge(&cursor, &avail, &challenge, &challenge_size, nullptr, nullptr) != 0) {
                ctl::refuse("the notifier sent a challenge that cannot be decoded");
                return ctl::exit_failed;
            }
            heap_ptr<uint8_t> login(auth_msg_build_login(user_.c_str(), challenge, challenge_size, hash_));
            if (!login || !send_whole(fd_, login.get(), tlv_get_size(login.get())))
                return ctl::exit_failed;
            return -1;
        }
        case "OK"_tlv:
            logged_in_ = true;
            if (!ctl::json_output())
                std::fprintf(stderr, "orvanectl event listen: logged in as %s\n", ctl::printable(user_).c_str());
            return -1;
        case "ERR"_tlv: {
            const std::string text(element_text(reinterpret_cast<const char *>(message) + TLV_HEADER_SIZE));
            ctl::refuse("login refused: " + ctl::printable(text));
            return ctl::exit_refused;
        }
        case "EVNT"_tlv:
            print_event(message, size);
            if (count > 0 && ++received_ >= count)
                return ctl::exit_ok;
            return -1;
        default:
            ctl::refuse("ignoring an unexpected message of " + std::to_string(size) + " bytes");
            return -1;
        }
    }

    int fd_;
    std::string user_;
    uint8_t hash_[SHA1_DIGEST_SIZE];
    std::vector<uint8_t> buffer_;
    bool logged_in_ = false;
    long received_ = 0;
};

int run_listen(int argc, char **argv)
{
    std::string user, port = std::to_string(ORVANE_PORT);
    ctl::password_source source;
    long count = 0;
    std::vector<ctl::option> options{
        {"user", 'u', "NAME", "the user to log in as",
         [&](const char *v) { return ctl::parse_user_name("--user", v, user); }},
        {"port", 'p', "PORT", "the notifier's TCP port (4445)",
         [&](const char *v) {
             char *end = nullptr;
             long value = std::strtol(v, &end, 10);
             if (*v == '\0' || *end != '\0' || value < 1 || value > 65535)
                 return ctl::refuse("--port wants a number from 1 to 65535, not \"" + ctl::printable(v) + "\"");
             port = v;
             return true;
         }},
        {"count", 'n', "N", "stop after N events",
         [&](const char *v) {
             char *end = nullptr;
             count = std::strtol(v, &end, 10);
             if (*v == '\0' || *end != '\0' || count < 1)
                 return ctl::refuse("--count wants a positive number, not \"" + ctl::printable(v) + "\"");
             return true;
         }},
    };
    ctl::add_password_options(options, source);
    std::vector<std::string> positional;
    int status = ctl::parse_options(listen_command, argc, argv, options, positional);
    if (status != ctl::go_on)
        return status;
    if (user.empty()) {
        ctl::refuse("wants --user NAME");
        return ctl::exit_failed;
    }
    std::array<uint8_t, SHA1_DIGEST_SIZE> hash{};
    {
        ctl::secret password;
        if (!ctl::read_password(source, password))
            return ctl::exit_failed;
        hash = configurator::password_hash(password.text());
    }

    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    owned_fd fd(connect_to(positional[0], port));
    if (fd.get() < 0)
        return ctl::exit_failed;
    listener peer(fd.get(), user, hash.data());
    return peer.run(count);
}

// ---- event ----

// `orvanectl event` alone: the group's two commands.
int run_event(int argc, char **argv)
{
    bool asked = argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0);
    if (argc >= 2 && !asked) {
        ctl::refuse("unknown command \"event " + ctl::printable(argv[1]) + "\": send or listen");
        return ctl::exit_failed;
    }
    FILE *out = asked ? stdout : stderr;
    std::fprintf(out,
                 "usage: orvanectl event send %s\n       orvanectl event listen %s\n\n"
                 "'orvanectl event send --help' and 'orvanectl event listen --help' describe them.\n",
                 send_command.synopsis, listen_command.synopsis);
    return asked ? ctl::exit_ok : ctl::exit_failed;
}

// The two commands are registered like every other, under their two words;
// "event" is the group that the overview lists.
const ctl::registration registered_send{send_command};
const ctl::registration registered_listen{listen_command};
const ctl::registration registered{{"event", "send|listen ...",
                                    "Send an event to this device's notifier, or listen to a notifier's events.",
                                    nullptr, run_event}};

} // namespace
