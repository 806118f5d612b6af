// Hostile traffic for a while: mutated datagrams in normal and sleep mode,
// garbage and silent clients on the RPC socket, and challenge requests from
// 100,000 addresses. Afterwards the daemon still answers, with the
// descriptors and private memory it had, and without a sanitizer report.
#include "support/ipconf_device.hpp"
#include "support/lab.hpp"

#include "ipconf/ipconf_msg.hpp"
#include "net/ip.hpp"

#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

namespace {

using lab::bytes;
using clock_type = std::chrono::steady_clock;

constexpr const char *device_puid = "02:00:00:00:0D:01";

long descriptors(pid_t pid)
{
    return std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"), {});
}

long private_kb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    long total = 0;
    for (std::string key; in >> key;) {
        long kb = 0;
        if (key.rfind("Private_", 0) == 0 && in >> kb)
            total += kb;
    }
    return total;
}

// Truncations, bit flips, lying lengths, deep nesting, unterminated texts.
bytes mutate(std::mt19937 &rng, bytes message)
{
    const auto pick = [&](size_t n) { return n == 0 ? 0 : static_cast<size_t>(rng() % n); };
    switch (rng() % 5) {
    case 0:
        message.resize(pick(message.size()));
        break;
    case 1:
        for (int flips = 1 + static_cast<int>(rng() % 8); flips > 0 && !message.empty(); --flips)
            message[pick(message.size())] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
    case 2:
        for (size_t at = 4; at + 4 <= message.size(); at += 8 + pick(4))
            if (rng() % 3 == 0)
                for (int i = 0; i < 4; ++i)
                    message[at + i] = static_cast<uint8_t>(rng());
        break;
    case 3: {
        bytes nested;
        for (int depth = 0; depth < 400; ++depth)
            nested.insert(nested.end(), {'C', 'O', 'N', 'F', 0xff, 0xff, 0xff, 0xf0});
        message = nested;
        break;
    }
    default:
        std::replace(message.begin(), message.end(), uint8_t{0}, uint8_t{'A'});
    }
    return message;
}

class Soak : public lab::DeviceTest {
protected:
    void SetUp() override
    {
        // Freed memory goes back at once, so that private memory shows leaks
        // and not the sanitizer's quarantine.
        const char *asan = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":quarantine_size_mb=1").c_str(), 1);
        DeviceTest::SetUp();
    }

    bool answers_look(int timeout_ms = 3000)
    {
        return peer->send(lab::take_message(ipconf_msg_build_look())) &&
               peer->receive("INFO"_tlv, timeout_ms, device_puid).has_value();
    }

    // Sends the datagrams in batches, each followed by a sign that the daemon
    // has read them all (by default a LOOK answered), so that none is dropped
    // for want of room; the time of each batch.
    std::vector<double> send_batched(const std::vector<bytes> &datagrams, size_t batch,
                                     const std::function<bool(const bytes &)> &send,
                                     const std::function<bool(size_t last)> &done = {})
    {
        std::vector<double> seconds;
        for (size_t at = 0; at < datagrams.size(); at += batch) {
            const auto begin = clock_type::now();
            const size_t end = std::min(at + batch, datagrams.size());
            for (size_t i = at; i < end; ++i)
                EXPECT_TRUE(send(datagrams[i]));
            EXPECT_TRUE(done ? done(end - 1) : answers_look(10000)) << "batch at " << at;
            seconds.push_back(std::chrono::duration<double>(clock_type::now() - begin).count());
        }
        return seconds;
    }

    void expect_clean_log()
    {
        EXPECT_EQ(device->daemon_log().find("runtime error"), std::string::npos);
        EXPECT_EQ(device->daemon_log().find("AddressSanitizer"), std::string::npos);
    }
};

TEST_F(Soak, MutatedDatagramsAndRpcGarbageInNormalAndSleepMode)
{
    ASSERT_TRUE(device->start_service());
    const std::vector<bytes> seeds = {
        lab::take_message(ipconf_msg_build_look()),
        lab::conf_message({.puid = device_puid,
                           .challenge = {1, 2, 3, 4},
                           .host_name = "soak",
                           .interfaces = {{.mac = "02:00:00:00:0D:01", .ipv4 = "192.0.2.99"}}}),
        lab::expected_info(*device, device_puid, 0),
        lab::take_message(ipconf_msg_build_error(device_puid, "192.0.2.1", "x")),
    };
    std::mt19937 rng(14);
    std::vector<bytes> mix;
    for (int i = 0; i < 20000; ++i)
        mix.push_back(mutate(rng, seeds[rng() % seeds.size()]));
    const auto broadcast = [&](const bytes &b) { return b.empty() || peer->send(b); }; // empty stops the daemon

    for (const std::vector<std::string> &mode : {std::vector<std::string>{}, {"-m", "sleep"}}) {
        ASSERT_TRUE(device->start_daemon(mode));
        ASSERT_TRUE(peer->receive("INFO"_tlv, 10000, device_puid)) << device->daemon_log();
        const pid_t pid = device->daemon().pid();
        // Once the allocator has warmed up with the whole mix, memory stays
        // flat through the mix again.
        send_batched(mix, 100, broadcast);
        const long fds = descriptors(pid), memory = private_kb(pid);
        send_batched(mix, 100, broadcast);
        EXPECT_LT(private_kb(pid) - memory, 512) << "kB of private memory grown";

        // Garbage and silent clients on the RPC socket.
        const std::string rpc = device->private_tmp() + "/orvane_rpc_1.sock";
        std::vector<int> clients;
        for (int i = 0; i < 20; ++i) {
            const int fd = lab->open_in(device->addresses().host, [] { return socket(AF_UNIX, SOCK_STREAM, 0); });
            sockaddr_un to{};
            to.sun_family = AF_UNIX;
            std::snprintf(to.sun_path, sizeof to.sun_path, "%s", rpc.c_str());
            EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0) << rpc;
            if (i % 4 != 0) {
                bytes garbage = mutate(rng, mix[rng() % mix.size()]);
                static_cast<void>(send(fd, garbage.data(), garbage.size(), MSG_NOSIGNAL));
            }
            clients.push_back(fd);
        }
        EXPECT_TRUE(answers_look());
        for (int fd : clients)
            close(fd);

        EXPECT_TRUE(answers_look());
        bool settled = false;
        for (int tries = 0; tries < 50 && !settled; ++tries) {
            settled = descriptors(pid) <= fds;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_TRUE(settled) << descriptors(pid) << " descriptors, " << fds << " before";
        EXPECT_EQ(device->daemon().stop(), 0);
        expect_clean_log();
    }
}

TEST_F(Soak, ChallengeRequestsFrom100000AddressesKeepTheirRate)
{
    ASSERT_TRUE(device->start_service());
    ASSERT_TRUE(device->start_daemon());
    ASSERT_TRUE(peer->receive("INFO"_tlv, 10000, device_puid));
    {
        // Sources from 10.0.0.0/8 arrive on a link that has no route back.
        auto in = lab->enter(device->addresses().host);
        for (const char *conf : {"all", "lab0"})
            std::ofstream("/proc/sys/net/ipv4/conf/" + std::string(conf) + "/rp_filter") << "0";
    }
    const int raw = lab->open_in("cfg", [] { return socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP)); });
    const int link = lab->open_in("cfg", [] { return static_cast<int>(if_nametoindex("lab0")); });
    ASSERT_GE(raw, 0);
    const bytes request = lab::challenge_request(device_puid);
    std::vector<bytes> frames;
    for (uint32_t n = 0; n < 100000; ++n) {
        bytes frame(raw_udp_header_size + request.size());
        std::copy(request.begin(), request.end(), frame.begin() + raw_udp_header_size);
        raw_udp_set_broadcast_header(frame.data(), 4445, request.size());
        const uint32_t source = 0x0A000001 + n;
        for (int i = 0; i < 4; ++i)
            frame[12 + i] = static_cast<uint8_t>(source >> (24 - 8 * i));
        frame[10] = frame[11] = frame[26] = frame[27] = 0;
        const uint16_t ip_sum = checksum_ip(frame.data());
        frame[10] = static_cast<uint8_t>(ip_sum >> 8);
        frame[11] = static_cast<uint8_t>(ip_sum);
        const uint16_t udp_sum = checksum_udp(frame.data(), frame.data() + 20);
        frame[26] = static_cast<uint8_t>(udp_sum >> 8);
        frame[27] = static_cast<uint8_t>(udp_sum);
        frames.push_back(std::move(frame));
    }
    const auto source_of = [](size_t n) {
        return "10." + std::to_string((n + 1) >> 16 & 255) + "." + std::to_string((n + 1) >> 8 & 255) + "." +
               std::to_string((n + 1) & 255);
    };
    // A batch is read once the challenge for its last address comes back.
    const auto challenged = [&](size_t last) {
        for (auto until = clock_type::now() + std::chrono::seconds(10); clock_type::now() < until;) {
            const auto chal = peer->receive("CHAL"_tlv, 1000);
            std::string address;
            if (chal && !lab::challenge_of(*chal, &address).empty() && address == source_of(last))
                return true;
        }
        return false;
    };
    const auto seconds = send_batched(
        frames, 64, [&](const bytes &frame) { return raw_send(raw, link, nullptr, frame.data(), frame.size()) == 0; },
        challenged);
    close(raw);
    // The median batch at the end against the one at the start.
    const auto median = [](std::vector<double> v) {
        std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    ASSERT_GE(seconds.size(), 100u);
    const double first = median({seconds.begin(), seconds.begin() + 100});
    const double last = median({seconds.end() - 100, seconds.end()});
    EXPECT_LT(last, 3 * first + 0.05) << "a batch of 64 took " << first << " s at first, " << last << " s at the end";
    EXPECT_EQ(device->count_lines("Received CHALLENGE REQUEST"), 100000);
    EXPECT_EQ(device->daemon().stop(), 0);
    expect_clean_log();
}

} // namespace
