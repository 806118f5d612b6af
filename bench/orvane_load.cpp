// Lab load tool for scripts/bench. Each subcommand runs inside a lab
// namespace, bounds itself in count and time, and prints JSON. The measuring
// ones take several targets (links, buses) and serve them in turns, ROUNDS
// times a share of the count, so that a shared machine's load falls on all
// of them alike:
//
//   orvane_load echo IFACE SECONDS     the floor: answers every LOOK on UDP port
//                                      4445 with a broadcast of an INFO of the
//                                      lab device's shape, built once
//   orvane_load dbus ROUNDS COUNT ADDRESS...
//                                      GetConfig round trips to the
//                                      configuration service, and the LOOK's
//                                      four calls one by one and pipelined
//   orvane_load latency ROUNDS COUNT IFACE...
//                                      back-to-back LOOK -> INFO times (after
//                                      100 warm-up LOOKs)
//   orvane_load load ROUNDS LOOKS WINDOW CONFS PUID IFACE:PID...
//                                      LOOKs with WINDOW in flight, then CONFs
//                                      refused for want of a challenge; the
//                                      daemon's memory and CPU time around them
//   orvane_load flood IFACE START SECONDS RATE NAME:PID...
//                                      LOOKs at RATE a second (0: as fast as
//                                      one socket sends) for the window of
//                                      SECONDS from START (milliseconds on the
//                                      wall clock); the CPU time of the named
//                                      device processes, the first one's memory
//   orvane_load count IFACE PUID START SECONDS
//                                      a neighbour: per second of the window,
//                                      the LOOKs it hears and the device's INFOs
//   orvane_load discover IFACE PUID START SECONDS TRIES WAIT_MS
//                                      a second configurator: TRIES discovers
//                                      during the window, each a LOOK and up to
//                                      WAIT_MS for an INFO of the device
//   orvane_load report FILE            the table of a scripts/bench run
//
// Only ever run in namespaces that the bench script made: every datagram goes
// to 255.255.255.255 on the given lab link.

#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "ipconf/product_record.hpp"
#include "lib/cendrix/cendrix.hpp"
#include "lib/cendrix/property_map.hpp"
#include "util/tlv.hpp"
#include "util/tlv_ez.hpp"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <numeric>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using json = nlohmann::json;
using clock_type = std::chrono::steady_clock;
using message_ptr = std::unique_ptr<uint8_t, decltype(&std::free)>;

constexpr int warmup_looks = 100;
// A reply not seen this long after the last datagram is counted as lost.
constexpr int quiet_ms = 200;

int fail(const std::string &what)
{
    std::fprintf(stderr, "orvane_load: %s: %s\n", what.c_str(), std::strerror(errno));
    return 1;
}

double micros(clock_type::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

struct fd_guard {
    int fd = -1;
    ~fd_guard()
    {
        if (fd >= 0)
            close(fd);
    }
};

// A UDP socket on one link that may send broadcasts.
int open_link_socket(const char *link)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, link, static_cast<socklen_t>(std::strlen(link))) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// UDP port 4445 on one link, broadcasts allowed, as the daemon opens it.
int open_port(const char *link)
{
    const int fd = open_link_socket(link);
    if (fd < 0)
        return -1;
    const int on = 1;
    const int buffer = 1 << 20;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(ORVANE_PORT);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

sockaddr_in broadcast_address()
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(ORVANE_PORT);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    return to;
}

bool broadcast(int fd, const uint8_t *message, size_t size)
{
    const sockaddr_in to = broadcast_address();
    return sendto(fd, message, size, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) ==
           static_cast<ssize_t>(size);
}

// The envelope type of the next datagram within timeout_ms; 0 when none came.
uint32_t receive_type(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return 0;
    std::array<uint8_t, 4096> data{};
    const ssize_t got = recv(fd, data.data(), data.size(), 0);
    return got >= static_cast<ssize_t>(TLV_HEADER_SIZE) ? tlv_get_envelope_type(data.data()) : 0;
}

// Waits for the next datagram of the type; false after timeout_ms of silence.
bool await(int fd, uint32_t type, int timeout_ms)
{
    for (;;) {
        const uint32_t got = receive_type(fd, timeout_ms);
        if (got == 0)
            return false;
        if (got == type)
            return true;
    }
}

message_ptr look_message()
{
    return message_ptr(ipconf_msg_build_look(), std::free);
}

// An INFO of the shape the lab device sends: its head and one interface.
message_ptr sample_info()
{
    char puid[] = "02:00:00:00:00:01", host[] = "device-1", product[] = "Sensor Hub", id[] = "SH-200",
         hardware[] = "HW-7", revision[] = "B", version[] = "1.4.2";
    product_info info{puid, PRODUCT_MODE_NORMAL, host, product, id, hardware, revision, version};
    char name[] = "lab0", ipv4[] = "192.0.2.10", mask[] = "255.255.255.0", gateway[] = "192.0.2.1", bcast[] = "0.0.0.0",
         dns[] = "192.0.2.53", wins[] = "";
    interface_conf conf{name, puid, 0, 1, 0, ipv4, mask, gateway, bcast, dns, wins};
    tlv_writer *writer = ipconf_msg_open_info(&info, IPCONF_PROTOCOL);
    writer = ipconf_msg_add_interface_to_info(writer, &conf);
    return message_ptr(ipconf_msg_close_info(&writer), std::free);
}

int echo(const char *link, int seconds)
{
    fd_guard port{open_port(link)};
    if (port.fd < 0)
        return fail("cannot open the port");
    const message_ptr reply = sample_info();
    const uint32_t size = tlv_get_size(reply.get());
    const auto end = clock_type::now() + std::chrono::seconds(seconds);
    std::array<uint8_t, 4096> data{};
    std::printf("{\"echo_ready\": true}\n");
    std::fflush(stdout);
    while (clock_type::now() < end) {
        pollfd p{port.fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        const ssize_t got = recv(port.fd, data.data(), data.size(), 0);
        if (got >= static_cast<ssize_t>(TLV_HEADER_SIZE) && tlv_get_envelope_type(data.data()) == "LOOK"_tlv)
            (void)broadcast(port.fd, reply.get(), size);
    }
    return 0;
}

double percentile(std::vector<double> sorted, double share)
{
    if (sorted.empty())
        return 0;
    std::sort(sorted.begin(), sorted.end());
    const auto index = static_cast<size_t>(std::ceil(share * static_cast<double>(sorted.size()))) - 1;
    return sorted[std::min(index, sorted.size() - 1)];
}

json summary(const std::vector<double> &samples)
{
    return {{"median_us", percentile(samples, 0.5)},
            {"p99_us", percentile(samples, 0.99)},
            {"p999_us", percentile(samples, 0.999)},
            {"samples", samples.size()}};
}

// The four calls a LOOK makes on the lab device (one interface), as the
// daemon makes them: one after the other, each waiting for its answer.
struct look_calls {
    sd_bus *bus = nullptr;
    ~look_calls() { sd_bus_flush_close_unref(bus); }

    sd_bus_message *request(const char *method)
    {
        sd_bus_message *m = nullptr;
        if (sd_bus_message_new_method_call(bus, &m, cendrix_wire::bus_name, cendrix_wire::object_path,
                                           cendrix_wire::interface_name, method) < 0)
            return nullptr;
        return m;
    }
    sd_bus_message *get_config(uint32_t number)
    {
        sd_bus_message *m = request("GetConfig");
        if (m != nullptr && sd_bus_message_append(m, "u", number) < 0)
            m = sd_bus_message_unref(m);
        return m;
    }
    sd_bus_message *find_interface()
    {
        sd_bus_message *m = request("FindResource");
        if (m != nullptr && sd_bus_message_append(m, "ua{sv}", 6u, 1, "name", "s", "lab0") < 0)
            m = sd_bus_message_unref(m);
        return m;
    }
    sd_bus_message *find_ipv4()
    {
        sd_bus_message *m = request("FindResource");
        if (m != nullptr && sd_bus_message_append(m, "ua{sv}", 26u, 1, "id", "u", 10u) < 0)
            m = sd_bus_message_unref(m);
        return m;
    }

    bool call(sd_bus_message *m)
    {
        sd_bus_message *reply = nullptr;
        const int result = m == nullptr ? -1 : sd_bus_call(bus, m, 5'000'000, nullptr, &reply);
        sd_bus_message_unref(m);
        sd_bus_message_unref(reply);
        return result >= 0;
    }

    bool sequential()
    {
        return call(get_config(17)) && call(get_config(18)) && call(find_interface()) && call(find_ipv4());
    }

    // The same four requests in the same order, but the three that depend on
    // no earlier answer are all sent before the first answer is awaited.
    bool pipelined()
    {
        int answered = 0;
        bool ok = true;
        const auto count = [](sd_bus_message *reply, void *data, sd_bus_error *) {
            auto *state = static_cast<std::pair<int *, bool *> *>(data);
            ++*state->first;
            if (sd_bus_message_is_method_error(reply, nullptr))
                *state->second = false;
            return 0;
        };
        std::pair<int *, bool *> state{&answered, &ok};
        for (sd_bus_message *m : {get_config(17), get_config(18), find_interface()}) {
            const int result = m == nullptr ? -1 : sd_bus_call_async(bus, nullptr, m, count, &state, 5'000'000);
            sd_bus_message_unref(m);
            if (result < 0)
                return false;
        }
        while (answered < 3) {
            const int result = sd_bus_process(bus, nullptr);
            if (result < 0 || (result == 0 && sd_bus_wait(bus, 5'000'000) < 0))
                return false;
        }
        return ok && call(find_ipv4());
    }
};

// Every measurement below runs its targets in turns, a share of the count
// each turn, so that the load of a shared machine falls on all of them alike.

// Per bus address: one GetConfig round trip through the library the daemon
// uses; the LOOK's four calls one after the other, and pipelined.
int dbus(int rounds, int count, const std::vector<std::string> &addresses)
{
    struct target {
        cendrix_context context{};
        look_calls calls;
        std::vector<double> round_trip, one_by_one, pipelined;
        ~target() { cendrix_close(&context); }
    };
    std::vector<std::unique_ptr<target>> targets;
    for (const auto &address : addresses) {
        auto t = std::make_unique<target>();
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        if (cendrix_init(&t->context) != 0 || sd_bus_open_system(&t->calls.bus) < 0)
            return fail("cannot reach the bus " + address);
        targets.push_back(std::move(t));
    }
    for (int round = 0; round < rounds; ++round) {
        for (auto &t : targets) {
            for (int i = 0; i < warmup_looks / rounds + count / rounds; ++i) {
                const auto start = clock_type::now();
                if (cendrix_get_config(&t->context, 17) != 0)
                    return fail("GetConfig failed");
                const auto first = clock_type::now();
                if (!t->calls.sequential())
                    return fail("the LOOK's calls failed");
                const auto second = clock_type::now();
                if (!t->calls.pipelined())
                    return fail("the pipelined calls failed");
                if (i < warmup_looks / rounds)
                    continue;
                t->round_trip.push_back(micros(first - start));
                t->one_by_one.push_back(micros(second - first));
                t->pipelined.push_back(micros(clock_type::now() - second));
            }
        }
    }
    json all = json::array();
    for (const auto &t : targets)
        all.push_back({{"dbus", summary(t->round_trip)},
                       {"look_calls", {{"sequential", summary(t->one_by_one)}, {"pipelined", summary(t->pipelined)}}}});
    std::printf("%s\n", all.dump().c_str());
    return 0;
}

// Per link: back-to-back LOOK -> INFO times.
int latency(int rounds, int count, const std::vector<std::string> &links)
{
    std::vector<fd_guard> ports(links.size());
    for (size_t t = 0; t < links.size(); ++t)
        if ((ports[t].fd = open_port(links[t].c_str())) < 0)
            return fail("cannot open the port on " + links[t]);
    const message_ptr look = look_message();
    std::vector<std::vector<double>> samples(links.size());
    std::vector<int> lost(links.size());
    for (int round = 0; round < rounds; ++round) {
        for (size_t t = 0; t < links.size(); ++t) {
            for (int i = 0; i < warmup_looks / rounds + count / rounds; ++i) {
                const auto start = clock_type::now();
                if (!broadcast(ports[t].fd, look.get(), TLV_HEADER_SIZE))
                    return fail("cannot send LOOK");
                if (!await(ports[t].fd, "INFO"_tlv, quiet_ms))
                    ++lost[t];
                else if (i >= warmup_looks / rounds)
                    samples[t].push_back(micros(clock_type::now() - start));
            }
        }
    }
    json all = json::array();
    for (size_t t = 0; t < links.size(); ++t) {
        json result = summary(samples[t]);
        result["lost"] = lost[t];
        all.push_back({{"latency", result}});
    }
    std::printf("%s\n", all.dump().c_str());
    return 0;
}

// Private_Clean + Private_Dirty and Rss of a process, in kB.
json memory_of(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    long private_kb = 0, rss_kb = 0;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        long value = 0;
        if (!(fields >> key >> value))
            continue;
        if (key == "Private_Clean:" || key == "Private_Dirty:")
            private_kb += value;
        else if (key == "Rss:")
            rss_kb = value;
    }
    return {{"private_kb", private_kb}, {"rss_kb", rss_kb}};
}

// User plus system CPU time of a process, in seconds.
double cpu_seconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close_paren + 2));
    std::string field;
    double ticks = 0;
    // state is field 3; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number >= 14)
            ticks += std::stod(field);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct window_result {
    long sent = 0, answered = 0;
    double seconds = 0;
};

// Sends `total` copies of the message keeping `window` of them unanswered,
// counting the replies of the given type.
window_result windowed(int fd, const uint8_t *message, size_t size, uint32_t reply, long total, int window)
{
    window_result result;
    int outstanding = 0;
    const auto start = clock_type::now();
    while (result.sent < total || outstanding > 0) {
        while (outstanding < window && result.sent < total) {
            if (!broadcast(fd, message, size))
                break;
            ++result.sent;
            ++outstanding;
        }
        const uint32_t got = receive_type(fd, quiet_ms);
        if (got == 0) {
            outstanding = 0; // silence: whatever was in flight is lost
            continue;
        }
        if (got == reply) {
            ++result.answered;
            outstanding = std::max(outstanding - 1, 0);
        }
    }
    result.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    result.answered = std::min(result.answered, result.sent);
    return result;
}

// Per link and daemon ("lab1:PID"): LOOKs with `window` in flight, then
// CONFs refused for want of a challenge; the daemon's memory before and after
// all of them and its CPU time during the LOOKs.
int load(int rounds, long looks, int window, long confs, const char *puid, const std::vector<std::string> &targets)
{
    const message_ptr look = look_message();
    const std::array<uint8_t, SHA1_DIGEST_SIZE> hash{};
    const std::array<uint8_t, 4> challenge{1, 2, 3, 4};
    tlv_writer *writer = ipconf_msg_open_conf(puid, "admin", hash.data(), challenge.data(), challenge.size());
    writer = ipconf_msg_set_conf_hostname(writer, "refused");
    const message_ptr conf(tlv_close_all(&writer), std::free);
    if (!conf)
        return fail("cannot build CONF");

    struct target {
        fd_guard port;
        pid_t pid = 0;
        json memory_before;
        window_result rate, refused;
        double cpu_seconds = 0;
    };
    std::vector<target> all(targets.size());
    for (size_t t = 0; t < targets.size(); ++t) {
        const size_t colon = targets[t].find(':');
        const std::string link = targets[t].substr(0, colon);
        all[t].pid = colon == std::string::npos ? 0 : std::atoi(targets[t].c_str() + colon + 1);
        if ((all[t].port.fd = open_port(link.c_str())) < 0)
            return fail("cannot open the port on " + link);
        all[t].memory_before = memory_of(all[t].pid);
    }
    for (int round = 0; round < rounds; ++round) {
        for (auto &t : all) {
            const double cpu_before = cpu_seconds(t.pid);
            const window_result part =
                windowed(t.port.fd, look.get(), TLV_HEADER_SIZE, "INFO"_tlv, looks / rounds, window);
            t.cpu_seconds += cpu_seconds(t.pid) - cpu_before;
            t.rate.sent += part.sent;
            t.rate.answered += part.answered;
            t.rate.seconds += part.seconds;
        }
    }
    json results = json::array();
    for (auto &t : all) {
        t.refused = windowed(t.port.fd, conf.get(), tlv_get_size(conf.get()), "ERR"_tlv, confs, 1);
        results.push_back({
            {"rate",
             {{"window", window},
              {"sent", t.rate.sent},
              {"answered", t.rate.answered},
              {"per_second", static_cast<double>(t.rate.answered) / t.rate.seconds},
              {"cpu_us_per_look", t.rate.answered == 0 ? 0 : 1e6 * t.cpu_seconds / t.rate.answered}}},
            {"confs", {{"sent", t.refused.sent}, {"answered", t.refused.answered}}},
            {"memory", {{"before", t.memory_before}, {"after", memory_of(t.pid)}}},
        });
    }
    std::printf("%s\n", results.dump().c_str());
    return 0;
}

// ---- flood ----------------------------------------------------------------
// The processes of one flood (the flooding host, a neighbour counting, a
// second configurator discovering) run in different namespaces; they share
// the wall clock, and with it one window.

using wall_clock = std::chrono::system_clock;

// Sleeps until the window's start, START_MS on the wall clock. False when it
// lies more than a minute ahead, or already more than a second behind: the
// processes of the flood would not be in step.
bool await_window(long long start_ms, wall_clock::time_point &start)
{
    start = wall_clock::time_point(std::chrono::milliseconds(start_ms));
    const auto now = wall_clock::now();
    if (start > now + std::chrono::minutes(1) || start < now - std::chrono::seconds(1)) {
        errno = ERANGE;
        return false;
    }
    std::this_thread::sleep_until(start);
    return true;
}

// Port 4445 for a host on a flooded link: a queue far beyond the system's
// limit (root may exceed it), arrival times from the kernel, and the kernel's
// count of datagrams it dropped for want of room, so that a listener slower
// than the flood shows as drops, not as a quiet device.
int open_listener(const char *link)
{
    const int fd = open_port(link);
    const int on = 1;
    const int buffer = 16 << 20;
    if (fd >= 0 && (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0 ||
                    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0 ||
                    setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// An INFO of the device: other devices' INFOs do not count.
bool is_info_of(std::span<uint8_t> data, const char *puid)
{
    char *found = nullptr;
    return data.size() >= TLV_HEADER_SIZE && tlv_get_envelope_type(data.data()) == "INFO"_tlv &&
           ipconf_msg_parse_get_puid(data.data(), data.size(), &found) == 0 && std::strcmp(found, puid) == 0;
}

// Datagrams read a batch at a time (a flood is too many for one call each),
// each with the time the kernel received it.
class datagram_batch {
public:
    static constexpr unsigned capacity = 64;

    // Waits up to timeout_ms; the count of datagrams read (0 after silence),
    // -1 on failure.
    int receive(int fd, int timeout_ms)
    {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, timeout_ms);
        if (ready <= 0)
            return ready;
        for (unsigned i = 0; i < capacity; ++i) {
            vectors_[i] = {buffers_[i].data(), buffers_[i].size()};
            headers_[i] = {};
            headers_[i].msg_hdr.msg_iov = &vectors_[i];
            headers_[i].msg_hdr.msg_iovlen = 1;
            headers_[i].msg_hdr.msg_control = controls_[i].data();
            headers_[i].msg_hdr.msg_controllen = controls_[i].size();
        }
        const int got = recvmmsg(fd, headers_.data(), capacity, MSG_DONTWAIT, nullptr);
        if (got < 0)
            return errno == EAGAIN ? 0 : -1;
        for (int i = 0; i < got; ++i)
            read_control(i);
        return got;
    }
    std::span<uint8_t> data(int i) { return {buffers_[i].data(), std::min<size_t>(headers_[i].msg_len, size)}; }
    wall_clock::time_point arrival(int i) const { return arrivals_[i]; }
    // Datagrams the kernel dropped from the queue so far.
    uint32_t dropped() const { return dropped_; }

private:
    static constexpr size_t size = 4096;
    static constexpr size_t control_size = CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(uint32_t));

    void read_control(int i)
    {
        arrivals_[i] = wall_clock::now();
        msghdr &header = headers_[i].msg_hdr;
        for (cmsghdr *c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level != SOL_SOCKET)
                continue;
            if (c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec at{};
                std::memcpy(&at, CMSG_DATA(c), sizeof at);
                arrivals_[i] = wall_clock::time_point(std::chrono::duration_cast<wall_clock::duration>(
                    std::chrono::seconds(at.tv_sec) + std::chrono::nanoseconds(at.tv_nsec)));
            } else if (c->cmsg_type == SO_RXQ_OVFL) {
                std::memcpy(&dropped_, CMSG_DATA(c), sizeof dropped_);
            }
        }
    }

    std::array<std::array<uint8_t, size>, capacity> buffers_{};
    std::array<std::array<uint8_t, control_size>, capacity> controls_{};
    std::array<iovec, capacity> vectors_{};
    std::array<mmsghdr, capacity> headers_{};
    std::array<wall_clock::time_point, capacity> arrivals_{};
    uint32_t dropped_ = 0;
};

// Reads the port until `end` by arrival time (what was queued before the end
// is still read), handing each datagram of the window to take(data, arrival);
// before each wait, tick() does what is due and says when to wake up at the
// latest. The datagrams the kernel dropped meanwhile, or -1 on failure.
template <class Take, class Tick>
long read_window(int fd, wall_clock::time_point begin, wall_clock::time_point end, Take take, Tick tick)
{
    const auto batch = std::make_unique<datagram_batch>();
    bool over = false;
    while (!over) {
        const auto wake = std::min(tick(), end);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - wall_clock::now()).count();
        const int got = batch->receive(fd, static_cast<int>(std::max<long long>(left, 0)));
        if (got < 0)
            return -1;
        over = got == 0 && wall_clock::now() >= end;
        for (int i = 0; i < got; ++i) {
            if (batch->arrival(i) >= end)
                over = true;
            else if (batch->arrival(i) >= begin)
                take(batch->data(i), batch->arrival(i));
        }
    }
    return batch->dropped();
}

// A listener of the flood, in step with the others; -1 after a failure it has
// reported.
int open_window_listener(const char *link, long long start_ms, wall_clock::time_point &begin)
{
    const int fd = open_listener(link);
    if (fd < 0) {
        (void)fail("cannot open the port on " + std::string(link));
        return -1;
    }
    if (!await_window(start_ms, begin)) {
        close(fd);
        (void)fail("the window is not in step");
        return -1;
    }
    return fd;
}

// The neighbour: per second of the window, the LOOKs it hears and the INFOs
// of the device.
int count(const char *link, const char *puid, long long start_ms, int seconds)
{
    wall_clock::time_point begin;
    fd_guard port{open_window_listener(link, start_ms, begin)};
    if (port.fd < 0)
        return 1;
    const auto end = begin + std::chrono::seconds(seconds);
    std::vector<long> looks(static_cast<size_t>(seconds)), infos(looks.size());
    const auto take = [&](std::span<uint8_t> data, wall_clock::time_point at) {
        const auto second = static_cast<size_t>(std::chrono::duration_cast<std::chrono::seconds>(at - begin).count());
        if (data.size() >= TLV_HEADER_SIZE && tlv_get_envelope_type(data.data()) == "LOOK"_tlv)
            ++looks[second];
        else if (is_info_of(data, puid))
            ++infos[second];
    };
    const long dropped = read_window(port.fd, begin, end, take, [&] { return end; });
    if (dropped < 0)
        return fail("cannot read the port");
    std::printf(
        "%s\n",
        json{{"seconds", seconds}, {"looks_per_second", looks}, {"infos_per_second", infos}, {"dropped", dropped}}
            .dump()
            .c_str());
    return 0;
}

// A second configurator: `tries` discovers during the window, each a LOOK and
// up to wait_ms for an INFO of the device (whoever's LOOK it answers, as for
// any configurator). They overlap, spread so that the first LOOK goes half a
// second into the window and the last wait ends half a second before its end.
int discover(const char *link, const char *puid, long long start_ms, int seconds, int tries, int wait_ms)
{
    using std::chrono::milliseconds;
    const int spacing_ms = tries > 1 ? (seconds * 1000 - 1000 - wait_ms) / (tries - 1) : 0;
    if (tries < 1 || spacing_ms < 0) {
        std::fprintf(stderr, "orvane_load: %d discovers of %d ms do not fit in %d s\n", tries, wait_ms, seconds);
        return 2;
    }
    const message_ptr look = look_message();
    wall_clock::time_point begin;
    fd_guard port{open_window_listener(link, start_ms, begin)};
    if (port.fd < 0)
        return 1;
    const auto first = begin + milliseconds(500);
    const auto end = first + milliseconds(spacing_ms * (tries - 1) + wait_ms);
    std::vector<wall_clock::time_point> asked;
    std::vector<double> answered_ms;
    const auto take = [&](std::span<uint8_t> data, wall_clock::time_point at) {
        if (!is_info_of(data, puid))
            return;
        // An INFO answers every discover still waiting; answered ones are set
        // to the far past so that it answers each only once.
        for (auto &since : asked) {
            if (since <= at && at < since + milliseconds(wait_ms)) {
                answered_ms.push_back(std::chrono::duration<double, std::milli>(at - since).count());
                since = wall_clock::time_point::min();
            }
        }
    };
    bool sent = true;
    const auto tick = [&] {
        const auto next = [&] { return first + milliseconds(spacing_ms * static_cast<int>(asked.size())); };
        if (asked.size() < static_cast<size_t>(tries) && wall_clock::now() >= next()) {
            asked.push_back(wall_clock::now());
            sent = sent && broadcast(port.fd, look.get(), TLV_HEADER_SIZE);
        }
        return asked.size() < static_cast<size_t>(tries) ? next() : end;
    };
    const long dropped = read_window(port.fd, begin, end, take, tick);
    if (dropped < 0 || !sent)
        return fail(sent ? "cannot read the port" : "cannot send LOOK");
    std::printf("%s\n", json{{"tries", tries},
                             {"found", answered_ms.size()},
                             {"wait_ms", wait_ms},
                             {"answer_median_ms", percentile(answered_ms, 0.5)},
                             {"dropped", dropped}}
                            .dump()
                            .c_str());
    return 0;
}

// The flooding host: LOOKs on the link for the window at `rate` a second, or
// as fast as the socket takes them (rate 0); the CPU time of each device
// process ("NAME:PID") meanwhile, and the first one's memory before and after.
int flood(const char *link, long long start_ms, int seconds, long rate, const std::vector<std::string> &processes)
{
    fd_guard out{open_link_socket(link)};
    if (out.fd < 0)
        return fail("cannot open a socket on " + std::string(link));
    std::vector<std::pair<std::string, pid_t>> named;
    for (const auto &process : processes) {
        const size_t colon = process.rfind(':');
        if (colon == std::string::npos) {
            std::fprintf(stderr, "orvane_load: not NAME:PID: %s\n", process.c_str());
            return 2;
        }
        named.emplace_back(process.substr(0, colon), std::atoi(process.c_str() + colon + 1));
    }
    if (named.empty()) {
        std::fprintf(stderr, "orvane_load: flood names no device process\n");
        return 2;
    }
    const message_ptr look = look_message();
    sockaddr_in to = broadcast_address();
    iovec vector{look.get(), TLV_HEADER_SIZE};
    std::array<mmsghdr, datagram_batch::capacity> batch{};
    for (auto &header : batch) {
        header.msg_hdr.msg_name = &to;
        header.msg_hdr.msg_namelen = sizeof to;
        header.msg_hdr.msg_iov = &vector;
        header.msg_hdr.msg_iovlen = 1;
    }

    wall_clock::time_point window;
    if (!await_window(start_ms, window))
        return fail("the window is not in step");
    std::vector<double> cpu_before;
    for (const auto &process : named)
        cpu_before.push_back(cpu_seconds(process.second));
    const json memory_before = memory_of(named.front().second);
    const auto begin = clock_type::now();
    const auto end = begin + std::chrono::seconds(seconds);
    // Paced, the n-th LOOK (from 0) is due n / rate seconds into the window;
    // one that is late goes out with the others due, a batch at a time.
    const auto due = [&](long n) {
        return begin + std::chrono::duration_cast<clock_type::duration>(
                           std::chrono::duration<double>(static_cast<double>(n) / static_cast<double>(rate)));
    };
    long sent = 0, refused = 0;
    for (auto now = begin; now < end; now = clock_type::now()) {
        long to_send = datagram_batch::capacity;
        if (rate > 0) {
            if (now < due(sent + refused)) {
                std::this_thread::sleep_until(std::min(end, due(sent + refused)));
                continue;
            }
            const double elapsed = std::chrono::duration<double>(now - begin).count();
            to_send = std::min(to_send, static_cast<long>(elapsed * static_cast<double>(rate)) + 1 - sent - refused);
        }
        const int result = sendmmsg(out.fd, batch.data(), static_cast<unsigned>(std::max(to_send, 1L)), MSG_DONTWAIT);
        if (result >= 0)
            sent += result;
        else if (errno == EAGAIN || errno == ENOBUFS)
            ++refused;
        else
            return fail("cannot send LOOK");
    }
    const double wall = std::chrono::duration<double>(clock_type::now() - begin).count();
    json cpu_percent = json::object();
    for (size_t p = 0; p < named.size(); ++p)
        cpu_percent[named[p].first] = 100 * (cpu_seconds(named[p].second) - cpu_before[p]) / wall;
    std::printf("%s\n", json{{"asked_per_second", rate},
                             {"seconds", wall},
                             {"sent", sent},
                             {"refused", refused},
                             {"sent_per_second", static_cast<double>(sent) / wall},
                             {"cpu_percent", cpu_percent},
                             {"memory", {{"before", memory_before}, {"after", memory_of(named.front().second)}}}}
                            .dump()
                            .c_str());
    return 0;
}

// ---- report -------------------------------------------------------------

// The value at the path of keys; null when a key is missing (a run saved by
// an older tool lacks the newer figures).
const json &at(const json &j, std::initializer_list<const char *> path)
{
    static const json missing;
    const json *here = &j;
    for (const char *key : path) {
        if (!here->is_object() || !here->contains(key))
            return missing;
        here = &(*here)[key];
    }
    return *here;
}

double num(const json &j, std::initializer_list<const char *> path)
{
    const json &value = at(j, path);
    return value.is_number() ? value.get<double>() : NAN;
}

// The figures of one flood under "PHASE.figure": what was sent and heard, the
// device's CPU time, the discovers, the daemon's memory.
void add_flood_figures(json &out, const std::string &phase, const json &flood)
{
    const auto per_second = [&](const char *key) {
        const json &counts = at(flood, {"neighbour", key});
        return counts.is_array() && !counts.empty() ? counts.get<std::vector<double>>() : std::vector<double>{NAN};
    };
    const std::vector<double> looks = per_second("looks_per_second"), infos = per_second("infos_per_second");
    const auto set = [&](const std::string &figure, double value) { out[phase + "." + figure] = value; };
    double cpu_total = 0;
    for (const char *process : {"orvaned", "dbus-daemon", "cendrixd"}) {
        const double percent = num(flood, {"sender", "cpu_percent", process});
        set(std::string("cpu.") + process, percent);
        cpu_total += percent;
    }
    set("asked_per_second", num(flood, {"sender", "asked_per_second"}));
    set("seconds", num(flood, {"neighbour", "seconds"}));
    set("tries", num(flood, {"discover", "tries"}));
    set("sent_per_second", num(flood, {"sender", "sent_per_second"}));
    set("heard_per_second", std::accumulate(looks.begin(), looks.end(), 0.0) / static_cast<double>(looks.size()));
    set("cpu_total", cpu_total);
    set("info_median", percentile(infos, 0.5));
    set("info_busiest", *std::max_element(infos.begin(), infos.end()));
    set("discovered", num(flood, {"discover", "found"}));
    set("private_kb_before", num(flood, {"sender", "memory", "before", "private_kb"}));
    set("private_kb_after", num(flood, {"sender", "memory", "after", "private_kb"}));
    set("dropped", num(flood, {"neighbour", "dropped"}) + num(flood, {"discover", "dropped"}));
}

// The figures of one build, and the ratios against the goals.
json figures(const json &floor, const json &build)
{
    const double floor_us = num(floor, {"latency", "median_us"});
    const double dbus_us = num(build, {"dbus", "median_us"});
    const double median = num(build, {"latency", "median_us"});
    const double p99 = num(build, {"latency", "p99_us"});
    const double answered = num(build, {"rate", "answered"});
    const double sent = num(build, {"rate", "sent"});
    json out = {
        {"median_us", median},
        {"p99_us", p99},
        {"p999_us", num(build, {"latency", "p999_us"})},
        {"dbus_us", dbus_us},
        {"calls_sequential_us", num(build, {"look_calls", "sequential", "median_us"})},
        {"calls_pipelined_us", num(build, {"look_calls", "pipelined", "median_us"})},
        {"median_vs_floor", median / floor_us},
        {"p99_vs_median", p99 / median},
        {"looks_per_second", num(build, {"rate", "per_second"})},
        {"answered_share", answered / sent},
        {"cpu_us_per_look", num(build, {"rate", "cpu_us_per_look"})},
        {"private_kb_before", num(build, {"memory", "before", "private_kb"})},
        {"private_kb_after", num(build, {"memory", "after", "private_kb"})},
        {"rss_kb_after", num(build, {"memory", "after", "rss_kb"})},
        {"stripped_kib", num(build, {"stripped_bytes"}) / 1024},
    };
    for (const char *phase : {"steady", "flat_out"})
        add_flood_figures(out, phase, at(build, {"floods", phase}));
    return out;
}

int report(const char *path)
{
    std::ifstream in(path);
    const json run = json::parse(in, nullptr, false);
    if (run.is_discarded() || !run.contains("names") || !run["latency"].is_array())
        return fail(std::string("cannot read ") + path);
    const json &floor = run["latency"][0];
    std::printf("floor (broadcast echo): median %.1f us, p99 %.1f us\n", num(floor, {"latency", "median_us"}),
                num(floor, {"latency", "p99_us"}));
    std::vector<std::string> names;
    std::vector<json> columns;
    for (size_t b = 0; b < run["names"].size(); ++b) {
        json build = run["static"][b];
        for (const char *part : {"dbus", "load"})
            build.update(run[part][b]);
        build.update(run["latency"][b + 1]);
        if (run.contains("floods"))
            build["floods"] = run["floods"][b];
        names.push_back(run["names"][b].get<std::string>());
        columns.push_back(figures(floor, build));
    }
    struct row {
        std::string key, label, goal, format;
    };
    std::vector<row> rows = {
        {"median_us", "LOOK->INFO median (us)", "", "%.1f"},
        {"p99_us", "LOOK->INFO p99 (us)", "", "%.1f"},
        {"p999_us", "LOOK->INFO p99.9 (us)", "", "%.1f"},
        {"dbus_us", "D-Bus round trip (us)", "", "%.1f"},
        {"calls_sequential_us", "LOOK's 4 calls one by one (us)", "", "%.1f"},
        {"calls_pipelined_us", "the same, 3 sent at once (us)", "", "%.1f"},
        {"median_vs_floor", "LOOK->INFO median / floor", "<= 2", "%.2f"},
        {"p99_vs_median", "p99 / median", "<= 3", "%.2f"},
        {"looks_per_second", "LOOK/s, window 4", ">= 3000", "%.0f"},
        {"answered_share", "share answered", "1", "%.4f"},
        {"cpu_us_per_look", "daemon CPU per LOOK (us)", "", "%.1f"},
        {"private_kb_before", "private memory before (kB)", "<= 1024", "%.0f"},
        {"private_kb_after", "private memory after (kB)", "= before", "%.0f"},
        {"rss_kb_after", "RSS after (kB)", "", "%.0f"},
        {"stripped_kib", "stripped orvaned (KiB)", "<= 400", "%.0f"},
    };
    const struct {
        const char *key, *rate_goal, *cpu_goal;
    } floods[] = {{"steady", "", "<= 3"}, {"flat_out", ">= 50000", "<= 10"}};
    for (const auto &flood : floods) {
        const std::string p = std::string(flood.key) + ".";
        const auto first = [&](const std::string &figure) { return num(columns.front(), {(p + figure).c_str()}); };
        char rate[32] = "as fast as one socket sends", title[96], discovers[48];
        if (first("asked_per_second") > 0)
            std::snprintf(rate, sizeof rate, "at %.0f a second", first("asked_per_second"));
        std::snprintf(title, sizeof title, "LOOKs %s for %.0f s, the daemon at its pacing defaults:", rate,
                      first("seconds"));
        std::snprintf(discovers, sizeof discovers, "  discovers that found it (of %.0f)", first("tries"));
        rows.insert(rows.end(), {
                                    {"", title, "", ""},
                                    {p + "sent_per_second", "  LOOK/s sent", flood.rate_goal, "%.0f"},
                                    {p + "heard_per_second", "  LOOK/s heard by a neighbour", "", "%.0f"},
                                    {p + "cpu_total", "  device CPU, all 3 (% of a core)", flood.cpu_goal, "%.1f"},
                                    {p + "cpu.orvaned", "    orvaned", "", "%.1f"},
                                    {p + "cpu.dbus-daemon", "    dbus-daemon", "", "%.1f"},
                                    {p + "cpu.cendrixd", "    cendrixd", "", "%.1f"},
                                    {p + "info_median", "  device INFO/s heard, median", "<= 20", "%.0f"},
                                    {p + "info_busiest", "  the same, busiest second", "", "%.0f"},
                                    {p + "discovered", discovers, "10", "%.0f"},
                                    {p + "private_kb_before", "  private memory before (kB)", "", "%.0f"},
                                    {p + "private_kb_after", "  private memory after (kB)", "= before", "%.0f"},
                                    {p + "dropped", "  listeners' queue drops", "0", "%.0f"},
                                });
    }
    std::printf("%-34s %-9s", "figure", "goal");
    for (const auto &name : names)
        std::printf(" %12s", name.c_str());
    if (names.size() == 2)
        std::printf(" %12s", "after/before");
    std::printf("\n");
    for (const auto &row : rows) {
        if (row.key.empty()) {
            std::printf("%s\n", row.label.c_str());
            continue;
        }
        std::printf("%-34s %-9s", row.label.c_str(), row.goal.c_str());
        for (const auto &column : columns) {
            char cell[32];
            std::snprintf(cell, sizeof cell, row.format.c_str(), num(column, {row.key.c_str()}));
            std::printf(" %12s", cell);
        }
        if (columns.size() == 2)
            std::printf(" %12.2f", num(columns[1], {row.key.c_str()}) / num(columns[0], {row.key.c_str()}));
        std::printf("\n");
    }
    return 0;
}

int usage()
{
    std::fprintf(stderr, "usage: orvane_load echo IFACE SECONDS | dbus ROUNDS COUNT ADDRESS... |\n"
                         "       latency ROUNDS COUNT IFACE... |\n"
                         "       load ROUNDS LOOKS WINDOW CONFS PUID IFACE:PID... |\n"
                         "       flood IFACE START SECONDS RATE NAME:PID... | count IFACE PUID START SECONDS |\n"
                         "       discover IFACE PUID START SECONDS TRIES WAIT_MS | report FILE\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto rest = [&](size_t from) { return std::vector<std::string>(args.begin() + from, args.end()); };
    // A flood's window is a minute at the most, whatever the command line says.
    const auto window = [](const char *seconds) { return std::clamp(std::atoi(seconds), 1, 60); };
    if (args.size() == 3 && args[0] == "echo")
        return echo(argv[2], std::atoi(argv[3]));
    if (args.size() >= 4 && args[0] == "dbus")
        return dbus(std::max(std::atoi(argv[2]), 1), std::atoi(argv[3]), rest(3));
    if (args.size() >= 4 && args[0] == "latency")
        return latency(std::max(std::atoi(argv[2]), 1), std::atoi(argv[3]), rest(3));
    if (args.size() >= 7 && args[0] == "load")
        return load(std::max(std::atoi(argv[2]), 1), std::atol(argv[3]), std::atoi(argv[4]), std::atol(argv[5]),
                    argv[6], rest(6));
    if (args.size() >= 6 && args[0] == "flood")
        return flood(argv[2], std::atoll(argv[3]), window(argv[4]), std::max(std::atol(argv[5]), 0L), rest(5));
    if (args.size() == 5 && args[0] == "count")
        return count(argv[2], argv[3], std::atoll(argv[4]), window(argv[5]));
    if (args.size() == 7 && args[0] == "discover")
        return discover(argv[2], argv[3], std::atoll(argv[4]), window(argv[5]), std::clamp(std::atoi(argv[6]), 1, 100),
                        std::clamp(std::atoi(argv[7]), 1, 10000));
    if (args.size() == 2 && args[0] == "report")
        return report(argv[2]);
    return usage();
}
