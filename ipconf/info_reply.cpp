#include "ipconf/info_reply.hpp"

#include "ipconf/ipconf_backend.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "net/if.hpp"
#include "net/ip.hpp"
#include "platform/cendrix_comm.hpp"
#include "util/owned.hpp"

#include <sys/timerfd.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr unsigned default_rate = 20;
constexpr unsigned default_burst = 20;
constexpr unsigned most_per_second = 100000;

// Neither the link watch nor the service's connection is in the select set:
// what they announce is read when an INFO is about to go out, and a watch
// that overflowed meanwhile counts as a change.
owned_fd link_watch;
owned_fd timer;
int look_socket = -1;
bool look_packets = false;
bool dropping = false;

malloc_ptr<uint8_t> kept;
bool kept_current = false;

// The budget: tokens refill at `rate` a second up to `burst`; an INFO takes one.
unsigned rate = default_rate;
double burst = default_burst;
double tokens = default_burst;
timespec refilled{};
bool owed = false;

double seconds_between(const timespec &from, const timespec &to)
{
    return static_cast<double>(to.tv_sec - from.tv_sec) + static_cast<double>(to.tv_nsec - from.tv_nsec) / 1e9;
}

void refill()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    tokens = std::min(burst, tokens + seconds_between(refilled, now) * rate);
    refilled = now;
}

// A whole number from `least` to most_per_second from the environment, else
// the default (with a warning for a value that is set but refused).
unsigned setting(const char *name, unsigned least, unsigned fallback)
{
    const char *text = std::getenv(name);
    if (text == nullptr)
        return fallback;
    const std::string_view value(text);
    unsigned parsed = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), parsed);
    if (value.empty() || error != std::errc() || end != value.data() + value.size() || parsed < least ||
        parsed > most_per_second) {
        syslog(LOG_WARNING, "ignoring %s=\"%s\": not a whole number from %u to %u; using %u", name, text, least,
               most_per_second, fallback);
        return fallback;
    }
    return parsed;
}

void arm_timer(double seconds)
{
    itimerspec when{};
    // At least a microsecond: zero would disarm it.
    const auto nanoseconds = std::max<long long>(1000, static_cast<long long>(seconds * 1e9));
    when.it_value.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    (void)timerfd_settime(timer.get(), 0, &when, nullptr);
}

void disarm_timer()
{
    const itimerspec never{};
    (void)timerfd_settime(timer.get(), 0, &never, nullptr);
}

// Whether the kept INFO still shows what the service and the kernel say. Reads
// all they have announced, whatever the answer.
bool kept_still_current()
{
    bool current = kept_current && kept != nullptr;
    if (!link_watch || if_watch_changed(link_watch.get()) != 0)
        current = false;
    if (cendrix_take_changes() != 0 || !cendrix_changes_announced())
        current = false;
    return current;
}

} // namespace

void info_reply_open(select_set *registered, int socket, bool packets)
{
    look_socket = socket;
    look_packets = packets;
    dropping = false;
    rate = setting("ORVANED_INFO_RATE", 0, default_rate);
    burst = setting("ORVANED_INFO_BURST", 1, default_burst);
    tokens = burst;
    clock_gettime(CLOCK_MONOTONIC, &refilled);
    owed = false;

    link_watch.reset(if_watch_open());
    if (!link_watch)
        syslog(LOG_WARNING, "cannot watch the links: every INFO is built afresh");
    if (rate != 0) {
        timer.reset(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
        if (timer) {
            socket_add(timer.get(), registered);
        } else {
            syslog(LOG_WARNING, "cannot create a timer: INFO not paced");
            rate = 0;
        }
    }
}

void info_reply_close(select_set *registered)
{
    if (timer)
        socket_remove(timer.get(), registered);
    timer.reset();
    link_watch.reset();
    kept.reset();
    kept_current = false;
    owed = false;
    dropping = false;
    look_socket = -1;
}

const uint8_t *info_reply_message()
{
    if (kept_still_current())
        return kept.get();
    // Changes announced while it is built make the next answer build again.
    kept.reset(ipconf_build_info(IPCONF_PROTOCOL));
    kept_current = kept != nullptr && link_watch && cendrix_changes_announced();
    return kept.get();
}

bool info_reply_answer_now()
{
    if (rate == 0)
        return true;
    refill();
    if (tokens >= 1)
        return true;
    if (!owed) {
        owed = true;
        arm_timer((1 - tokens) / rate);
        // Until it goes, a LOOK costs the daemon nothing: the INFO owed
        // answers it, and the kernel drops it unread.
        dropping = datagram_drop_set(look_socket, look_packets, ORVANE_PORT, "LOOK") == 0;
    }
    return false;
}

void info_reply_sending()
{
    if (rate == 0)
        return;
    refill();
    // Never below empty, so that an owed INFO is never more than 1/rate away.
    tokens = std::max(0.0, tokens - 1);
    if (owed) {
        owed = false;
        disarm_timer();
    }
    // Before the INFO goes: a LOOK that arrives after it is read and answered.
    if (dropping)
        dropping = datagram_drop_clear(look_socket) != 0;
}

bool info_reply_serve(const select_set *ready)
{
    if (!timer || !FD_ISSET(timer.get(), &ready->read))
        return false;
    uint64_t expirations = 0;
    (void)read(timer.get(), &expirations, sizeof expirations);
    return owed;
}
