// Lab load tool for scripts/bench. Each subcommand runs inside a lab
// namespace, bounds itself in count and time, and prints one JSON object:
//
//   orvane_load echo IFACE SECONDS     the floor: answers every LOOK on UDP port
//                                      4445 with a broadcast of an INFO-sized
//                                      reply built once (no other work)
//   orvane_load dbus COUNT             COUNT GetConfig round trips to the
//                                      configuration service
//   orvane_load latency IFACE COUNT    back-to-back LOOK -> INFO times after
//                                      100 warm-up LOOKs
//   orvane_load load IFACE PID LOOKS WINDOW CONFS PUID
//                                      LOOKs with WINDOW in flight, then CONFs
//                                      refused for want of a challenge; the
//                                      daemon's memory and CPU time around them
//   orvane_load report FILE            the table of a scripts/bench run
//
// Only ever run in namespaces that the bench script made: every datagram goes
// to 255.255.255.255 on the given lab link.

#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "ipconf/product_record.hpp"
#include "lib/cendrix/cendrix.hpp"
#include "util/tlv.hpp"
#include "util/tlv_ez.hpp"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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
#include <sstream>
#include <string>
#include <vector>

namespace
{

using json = nlohmann::json;
using clock_type = std::chrono::steady_clock;
using message_ptr = std::unique_ptr<uint8_t, decltype(&std::free)>;

constexpr uint16_t ipconf_port = 4445;
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

// UDP port 4445 on one link, broadcasts allowed, as the daemon opens it.
int open_port(const char *link)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    const int buffer = 1 << 20;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(ipconf_port);
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, link, static_cast<socklen_t>(std::strlen(link))) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool broadcast(int fd, const uint8_t *message, size_t size)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(ipconf_port);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    return sendto(fd, message, size, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) == static_cast<ssize_t>(size);
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
        if (got >= static_cast<ssize_t>(TLV_HEADER_SIZE) && tlv_get_envelope_type(data.data()) == IPCONF_LOOK)
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

int dbus(int count)
{
    cendrix_context context{};
    if (cendrix_init(&context) != 0)
        return fail("cannot reach the bus");
    std::vector<double> samples;
    for (int i = 0; i < warmup_looks + count; ++i) {
        const auto start = clock_type::now();
        if (cendrix_get_config(&context, 17) != 0) {
            cendrix_close(&context);
            return fail("GetConfig failed");
        }
        if (i >= warmup_looks)
            samples.push_back(micros(clock_type::now() - start));
    }
    cendrix_close(&context);
    std::printf("%s\n", json{{"dbus", summary(samples)}}.dump().c_str());
    return 0;
}

int latency(const char *link, int count)
{
    fd_guard port{open_port(link)};
    if (port.fd < 0)
        return fail("cannot open the port");
    const message_ptr look = look_message();
    std::vector<double> samples;
    int lost = 0;
    for (int i = 0; i < warmup_looks + count; ++i) {
        const auto start = clock_type::now();
        if (!broadcast(port.fd, look.get(), TLV_HEADER_SIZE))
            return fail("cannot send LOOK");
        if (!await(port.fd, IPCONF_INFO, quiet_ms)) {
            ++lost;
            continue;
        }
        if (i >= warmup_looks)
            samples.push_back(micros(clock_type::now() - start));
    }
    json result = summary(samples);
    result["lost"] = lost;
    std::printf("%s\n", json{{"latency", result}}.dump().c_str());
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

int load(const char *link, pid_t pid, long looks, int window, long confs, const char *puid)
{
    fd_guard port{open_port(link)};
    if (port.fd < 0)
        return fail("cannot open the port");
    const message_ptr look = look_message();
    const std::array<uint8_t, 20> hash{};
    const std::array<uint8_t, 4> challenge{1, 2, 3, 4};
    tlv_writer *writer = ipconf_msg_open_conf(puid, "admin", hash.data(), challenge.data(), challenge.size());
    writer = ipconf_msg_set_conf_hostname(writer, "refused");
    const message_ptr conf(tlv_close_all(&writer), std::free);
    if (!conf)
        return fail("cannot build CONF");

    const json memory_before = memory_of(pid);
    const double cpu_before = cpu_seconds(pid);
    const window_result rate = windowed(port.fd, look.get(), TLV_HEADER_SIZE, IPCONF_INFO, looks, window);
    const double cpu_after = cpu_seconds(pid);
    const window_result refused = windowed(port.fd, conf.get(), tlv_get_size(conf.get()), IPCONF_ERR, confs, 1);
    const json memory_after = memory_of(pid);

    const json result = {
        {"rate",
         {{"window", window},
          {"sent", rate.sent},
          {"answered", rate.answered},
          {"per_second", static_cast<double>(rate.answered) / rate.seconds},
          {"cpu_us_per_look", rate.answered == 0 ? 0 : 1e6 * (cpu_after - cpu_before) / rate.answered}}},
        {"confs", {{"sent", refused.sent}, {"answered", refused.answered}}},
        {"memory", {{"before", memory_before}, {"after", memory_after}}},
    };
    std::printf("%s\n", result.dump().c_str());
    return 0;
}

// ---- report -------------------------------------------------------------

double num(const json &j, std::initializer_list<const char *> path)
{
    const json *at = &j;
    for (const char *key : path) {
        if (!at->is_object() || !at->contains(key))
            return NAN;
        at = &(*at)[key];
    }
    return at->is_number() ? at->get<double>() : NAN;
}

// The figures of one build, and the ratios against the goals.
json figures(const json &floor, const json &build)
{
    const double floor_us = num(floor, {"latency", "median_us"});
    const double dbus_us = num(build, {"dbus", "median_us"});
    const double calls = num(build, {"calls_per_look"});
    const double median = num(build, {"latency", "median_us"});
    const double p99 = num(build, {"latency", "p99_us"});
    const double answered = num(build, {"rate", "answered"});
    const double sent = num(build, {"rate", "sent"});
    return {
        {"median_us", median},
        {"p99_us", p99},
        {"p999_us", num(build, {"latency", "p999_us"})},
        {"dbus_us", dbus_us},
        {"median_vs_floor_and_calls", median / (floor_us + calls * dbus_us)},
        {"p99_vs_median", p99 / median},
        {"looks_per_second", num(build, {"rate", "per_second"})},
        {"answered_share", answered / sent},
        {"cpu_us_per_look", num(build, {"rate", "cpu_us_per_look"})},
        {"private_kb_before", num(build, {"memory", "before", "private_kb"})},
        {"private_kb_after", num(build, {"memory", "after", "private_kb"})},
        {"rss_kb_after", num(build, {"memory", "after", "rss_kb"})},
        {"stripped_kib", num(build, {"stripped_bytes"}) / 1024},
    };
}

int report(const char *path)
{
    std::ifstream in(path);
    const json run = json::parse(in, nullptr, false);
    if (run.is_discarded() || !run.contains("builds"))
        return fail(std::string("cannot read ") + path);
    const json &floor = run["floor"];
    std::printf("floor (broadcast echo): median %.1f us, p99 %.1f us\n", num(floor, {"latency", "median_us"}),
                num(floor, {"latency", "p99_us"}));
    std::vector<std::string> names;
    std::vector<json> columns;
    for (const auto &[name, build] : run["builds"].items()) {
        names.push_back(name);
        columns.push_back(figures(floor, build));
    }
    const struct {
        const char *key, *label, *goal, *format;
    } rows[] = {
        {"median_us", "LOOK->INFO median (us)", "", "%.1f"},
        {"p99_us", "LOOK->INFO p99 (us)", "", "%.1f"},
        {"p999_us", "LOOK->INFO p99.9 (us)", "", "%.1f"},
        {"dbus_us", "D-Bus round trip (us)", "", "%.1f"},
        {"median_vs_floor_and_calls", "median / (floor + calls x D-Bus)", "<= 1.2", "%.2f"},
        {"p99_vs_median", "p99 / median", "<= 3", "%.2f"},
        {"looks_per_second", "LOOK/s, window 4", ">= 3000", "%.0f"},
        {"answered_share", "share answered", "1", "%.4f"},
        {"cpu_us_per_look", "daemon CPU per LOOK (us)", "", "%.1f"},
        {"private_kb_before", "private memory before (kB)", "<= 1024", "%.0f"},
        {"private_kb_after", "private memory after (kB)", "= before", "%.0f"},
        {"rss_kb_after", "RSS after (kB)", "", "%.0f"},
        {"stripped_kib", "stripped orvaned (KiB)", "<= 400", "%.0f"},
    };
    std::printf("%-34s %-9s", "figure", "goal");
    for (const auto &name : names)
        std::printf(" %12s", name.c_str());
    if (names.size() == 2)
        std::printf(" %12s", "after/before");
    std::printf("\n");
    for (const auto &row : rows) {
        std::printf("%-34s %-9s", row.label, row.goal);
        for (const auto &column : columns) {
            char cell[32];
            std::snprintf(cell, sizeof cell, row.format, num(column, {row.key}));
            std::printf(" %12s", cell);
        }
        if (columns.size() == 2)
            std::printf(" %12.2f", num(columns[1], {row.key}) / num(columns[0], {row.key}));
        std::printf("\n");
    }
    return 0;
}

int usage()
{
    std::fprintf(stderr, "usage: orvane_load echo IFACE SECONDS | dbus COUNT | latency IFACE COUNT |\n"
                         "       load IFACE PID LOOKS WINDOW CONFS PUID | report FILE\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "echo")
        return echo(argv[2], std::atoi(argv[3]));
    if (args.size() == 2 && args[0] == "dbus")
        return dbus(std::atoi(argv[2]));
    if (args.size() == 3 && args[0] == "latency")
        return latency(argv[2], std::atoi(argv[3]));
    if (args.size() == 7 && args[0] == "load")
        return load(argv[2], std::atoi(argv[3]), std::atol(argv[4]), std::atoi(argv[5]), std::atol(argv[6]), argv[7]);
    if (args.size() == 2 && args[0] == "report")
        return report(argv[2]);
    return usage();
}
