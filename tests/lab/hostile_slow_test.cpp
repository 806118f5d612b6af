// Hostile traffic for a while: mutated datagrams in normal and sleep mode,
// garbage and silent clients on the RPC socket, and challenge requests from
// 100,000 addresses. Afterwards the daemon still answers, with the
// descriptors and private memory it had, and stops cleanly: a sanitizer
// report would end it with another status.
// What the parsers make of any bytes (lying lengths, deep nesting, texts
// without their end) is the fuzz targets' part; this is the whole daemon's.
#include "support/ipconf_device.hpp"

#include "ipconf/auth_msg.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "net/ip.hpp"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

namespace {

using lab::bytes;
using clock_type = std::chrono::steady_clock;

constexpr const char *device_puid = "02:00:00:00:0D:01";

// Resident memory that is not shared with a file: the heap, in kB.
long private_kb(pid_t pid)
{
    long size = 0, resident = 0, shared = 0;
    std::ifstream("/proc/" + std::to_string(pid) + "/statm") >> size >> resident >> shared;
    return (resident - shared) * sysconf(_SC_PAGESIZE) / 1024;
}

// Truncated (an envelope that declares more than came) or with bits flipped.
bytes mutate(std::mt19937 &rng, bytes message)
{
    const auto pick = [&](size_t n) { return n == 0 ? 0 : static_cast<size_t>(rng() % n); };
    if (rng() % 2 == 0)
        message.resize(pick(message.size()));
    for (int flips = static_cast<int>(rng() % 8); flips > 0 && !message.empty(); --flips)
        message[pick(message.size())] ^= static_cast<uint8_t>(1u << (rng() % 8));
    return message;
}

// Sends datagrams 0 to count - 1 in batches, each followed by a sign that
// the daemon has read them all (`read` of its last), so that its receive
// queue never holds more than a batch; the time of each batch.
std::vector<double> in_batches(size_t count, size_t batch, const std::function<bool(size_t)> &send,
                               const std::function<bool(size_t last)> &read)
{
    std::vector<double> seconds;
    for (size_t at = 0; at < count; at += batch) {
        const auto begin = clock_type::now();
        const size_t end = std::min(at + batch, count);
        for (size_t i = at; i < end; ++i)
            EXPECT_TRUE(send(i));
        EXPECT_TRUE(read(end - 1)) << "batch at " << at;
        seconds.push_back(std::chrono::duration<double>(clock_type::now() - begin).count());
    }
    return seconds;
}

class Soak : public lab::DeviceTest {};

TEST_F(Soak, MutatedDatagramsRpcGarbageAndChallengesFrom100000Addresses)
{
    // Freed memory goes back at once, so that private memory shows leaks and
    // not the sanitizer's quarantine.
    const char *asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":quarantine_size_mb=1").c_str(), 1);
    ASSERT_TRUE(device->start_service());
    // Sources from 10.0.0.0/8 must have their way back through lab0, or the
    // reverse path filter drops them.
    ASSERT_TRUE(lab->ip(device->addresses().host, {"route", "add", "10.0.0.0/8", "dev", "lab0"}));
    const auto answers_look = [&] { return peer->look(10000, device_puid).has_value(); };
    std::mt19937 rng(14);
    std::vector<bytes> mix;
    const auto send_mix = [&] {
        (void)in_batches( // an empty datagram would stop the daemon
            mix.size(), 100, [&](size_t i) { return mix[i].empty() || peer->send(mix[i]); },
            [&](size_t) { return answers_look(); });
    };

    for (const std::vector<std::string> &mode : {std::vector<std::string>{}, {"-m", "sleep"}}) {
        ASSERT_TRUE(device->start_daemon(mode));
        const auto info = peer->receive("INFO"_tlv, 10000, device_puid);
        ASSERT_TRUE(info) << device->daemon_log();
        const pid_t pid = device->daemon().pid();
        if (mix.empty()) {
            auto conf = request(device_puid, "soak");
            conf.interfaces = {{.mac = device_puid, .address = "192.0.2.99"}};
            const std::vector<bytes> seeds = {take(ipconf_msg_build_look()),
                                              configurator::build_conf(conf, bytes{1, 2, 3, 4}), *info,
                                              take(ipconf_msg_build_error(device_puid, "192.0.2.1", "x"))};
            for (int i = 0; i < 20000; ++i)
                mix.push_back(mutate(rng, seeds[rng() % seeds.size()]));
        }
        // Once the allocator has warmed up with the whole mix, memory stays
        // flat through the mix again.
        send_mix();
        // The INFO that ends the mix may answer a LOOK of its last batch
        // while the daemon still reads the rest (and may hold a socket of a
        // raw fallback send for a moment): the set it keeps is the one that
        // stays a quarter of a second.
        auto fds = lab::descriptors_of(pid);
        for (int turns = 0; turns < 20; ++turns) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            auto again = lab::descriptors_of(pid);
            if (again == fds)
                break;
            fds = std::move(again);
        }
        const long memory = private_kb(pid);
        send_mix();
        EXPECT_LT(private_kb(pid) - memory, 512) << "kB of private memory grown";

        // Garbage and silent clients on the RPC socket.
        sockaddr_un rpc{AF_UNIX, {}};
        std::snprintf(rpc.sun_path, sizeof rpc.sun_path, "%s/orvane_rpc_1.sock", device->private_tmp().c_str());
        std::vector<std::unique_ptr<lab::Stream>> clients;
        for (int i = 0; i < 20; ++i) {
            clients.push_back(
                std::make_unique<lab::Stream>(lab::connect_stream(reinterpret_cast<sockaddr *>(&rpc), sizeof rpc)));
            if (i % 4 != 0)
                (void)clients.back()->write(mutate(rng, mix[rng() % mix.size()]));
        }
        EXPECT_TRUE(answers_look());
        clients.clear();
        EXPECT_TRUE(lab::descriptors_settle(pid, fds)) << lab::descriptors_of(pid).size() << " descriptors";

        if (mode.empty()) {
            // Challenge requests from 10.0.0.1 on, as raw frames on the
            // configurator's link. Connections are never dropped, so looking
            // one up must not slow down with their number: the median batch
            // at the end against the one at the start.
            const int raw = lab->open_in("cfg", [] { return socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP)); });
            const int link = lab->open_in("cfg", [] { return static_cast<int>(if_nametoindex("lab0")); });
            ASSERT_GE(raw, 0);
            const bytes request = take(auth_msg_build_challenge_request(device_puid));
            peer->drain();
            // A batch is read once the challenge for its last address comes
            // back, which names it as a text with its zero byte.
            const auto challenged = [&](size_t last) {
                const std::string to = std::string(inet_ntoa({htonl(0x0A000001 + static_cast<uint32_t>(last))})) + '\0';
                for (auto until = clock_type::now() + std::chrono::seconds(10); clock_type::now() < until;) {
                    const auto chal = peer->receive("CHAL"_tlv, 1000);
                    if (chal && std::search(chal->begin(), chal->end(), to.begin(), to.end()) != chal->end())
                        return true;
                }
                return false;
            };
            auto seconds = in_batches(
                100000, 32,
                [&](size_t n) {
                    bytes frame(raw_udp_header_size);
                    frame.insert(frame.end(), request.begin(), request.end());
                    raw_udp_set_broadcast_header(frame.data(), 4445, request.size());
                    for (int i = 0; i < 4; ++i)
                        frame[12 + i] = static_cast<uint8_t>((0x0A000001 + n) >> (24 - 8 * i));
                    frame[10] = frame[11] = frame[26] = frame[27] = 0; // a UDP checksum of 0 is none
                    const uint16_t sum = checksum_ip(frame.data());
                    frame[10] = static_cast<uint8_t>(sum >> 8);
                    frame[11] = static_cast<uint8_t>(sum);
                    return raw_send(raw, link, nullptr, frame.data(), frame.size()) == 0;
                },
                challenged);
            close(raw);
            std::nth_element(seconds.begin(), seconds.begin() + 50, seconds.begin() + 100);
            std::nth_element(seconds.end() - 100, seconds.end() - 50, seconds.end());
            const double first = seconds[50], last = seconds[seconds.size() - 50];
            EXPECT_LT(last, 3 * first + 0.05) << "a batch took " << first << " s at first, " << last << " s at the end";
            EXPECT_EQ(device->count_lines("Received CHALLENGE REQUEST"), 100000);
        }
        // A sanitizer report ends the daemon with another status.
        EXPECT_EQ(device->daemon().stop(), 0) << device->daemon_log();
    }
}

} // namespace
