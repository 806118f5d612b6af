// Micro-benchmarks of the code on the daemon's hot paths: building and walking
// an INFO, parsing a CONF, the raw IPv4/UDP frame checksums and their check,
// and the challenged-password check.

#include "ipconf/auth.hpp"
#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "ipconf/product_record.hpp"
#include "net/ip.hpp"
#include "util/tlv.hpp"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using message_ptr = std::unique_ptr<uint8_t, decltype(&std::free)>;

// Texts of the shape a device sends (the lab store's values).
char puid[] = "02:00:00:00:00:01";
char host_name[] = "device-1";
char product_name[] = "Sensor Hub";
char product_id[] = "SH-200";
char hardware_id[] = "HW-7";
char hardware_revision[] = "B";
char system_version[] = "1.4.2";
product_info info{puid,       PRODUCT_MODE_NORMAL, host_name,         product_name,
                  product_id, hardware_id,         hardware_revision, system_version};

struct sample_interface {
    std::string name, mac, ipv4;
    interface_conf conf{};
    char netmask[16] = "255.255.255.0", gateway[16] = "192.0.2.1", broadcast[16] = "0.0.0.0", dns[16] = "192.0.2.53",
         wins[1] = "";
};

std::vector<std::unique_ptr<sample_interface>> interfaces(int count)
{
    std::vector<std::unique_ptr<sample_interface>> all;
    for (int i = 0; i < count; ++i) {
        auto s = std::make_unique<sample_interface>();
        s->name = "lab" + std::to_string(i);
        s->mac = "02:00:00:00:00:0" + std::to_string(i % 10);
        s->ipv4 = "192.0.2." + std::to_string(10 + i);
        s->conf = {s->name.data(), s->mac.data(), 0,      1,      0, s->ipv4.data(), s->netmask,
                   s->gateway,     s->broadcast,  s->dns, s->wins};
        all.push_back(std::move(s));
    }
    return all;
}

message_ptr build_info(const std::vector<std::unique_ptr<sample_interface>> &all)
{
    tlv_writer *writer = ipconf_msg_open_info(&info, IPCONF_PROTOCOL);
    for (const auto &s : all)
        writer = ipconf_msg_add_interface_to_info(writer, &s->conf);
    return message_ptr(ipconf_msg_close_info(&writer), std::free);
}

void BuildInfo(benchmark::State &state)
{
    const auto all = interfaces(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        message_ptr message = build_info(all);
        benchmark::DoNotOptimize(message.get());
    }
}
BENCHMARK(BuildInfo)->Arg(1)->Arg(8);

void WalkInfo(benchmark::State &state)
{
    const auto all = interfaces(static_cast<int>(state.range(0)));
    const message_ptr message = build_info(all);
    const size_t size = tlv_get_size(message.get());
    for (auto _ : state) {
        uint8_t *cursor = message.get();
        size_t avail = size;
        product_info parsed{};
        uint8_t protocol = 0;
        int walked = ipconf_msg_parse_info(&cursor, &avail, &parsed, &protocol) == 0 ? 0 : -1;
        while (walked >= 0 && avail != 0) {
            interface_conf conf{};
            if (ipconf_msg_parse_get_interface_from_info(&cursor, &avail, &conf) != 0)
                break;
            ++walked;
        }
        if (walked != state.range(0))
            state.SkipWithError("the INFO did not walk");
        benchmark::DoNotOptimize(walked);
    }
}
BENCHMARK(WalkInfo)->Arg(1)->Arg(8);

void ParseConf(benchmark::State &state)
{
    std::array<uint8_t, SHA1_DIGEST_SIZE> hash{};
    const std::array<uint8_t, 4> challenge{1, 2, 3, 4};
    auto all = interfaces(1);
    all[0]->conf.name = nullptr;
    all[0]->conf.role = INTERFACE_ROLE_NOT_SET;
    tlv_writer *writer = ipconf_msg_open_conf(puid, "admin", hash.data(), challenge.data(), challenge.size());
    writer = ipconf_msg_set_conf_hostname(writer, "device-2");
    writer = ipconf_msg_add_interface_to_conf(writer, &all[0]->conf);
    const message_ptr message(tlv_close_all(&writer), std::free);
    const size_t size = tlv_get_size(message.get());
    for (auto _ : state) {
        uint8_t *cursor = message.get();
        size_t avail = size;
        conf_auth auth{};
        char *name = nullptr;
        interface_conf conf{};
        if (ipconf_msg_parse_conf(&cursor, &avail, &auth, &name) != 0 ||
            ipconf_msg_parse_get_interface_from_conf(&cursor, &avail, &conf) != 0)
            state.SkipWithError("the CONF did not parse");
        benchmark::DoNotOptimize(conf.ipv4);
    }
}
BENCHMARK(ParseConf);

// A raw broadcast frame carrying a one-interface INFO: headers and checksums
// written, then checked as a receiver does.
void RawFrame(benchmark::State &state)
{
    const message_ptr message = build_info(interfaces(1));
    const size_t size = tlv_get_size(message.get());
    std::vector<uint8_t> packet(raw_udp_header_size + size);
    std::memcpy(packet.data() + raw_udp_header_size, message.get(), size);
    for (auto _ : state) {
        raw_udp_set_broadcast_header(packet.data(), 4445, size);
        if (raw_udp_check(packet.data(), packet.size(), 4445) != 0)
            state.SkipWithError("the frame did not check");
        benchmark::DoNotOptimize(packet.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packet.size()));
}
BENCHMARK(RawFrame);

void CheckPassword(benchmark::State &state)
{
    std::array<uint8_t, SHA1_DIGEST_SIZE> hash{};
    for (size_t i = 0; i < hash.size(); ++i)
        hash[i] = static_cast<uint8_t>(i * 13);
    const std::array<uint8_t, 4> challenge{0xde, 0xad, 0xbe, 0xef};
    std::array<uint8_t, SHA1_DIGEST_SIZE> received{};
    if (auth_msg_build_challenged_password(challenge.data(), challenge.size(), hash.data(), received.data()) != 0)
        state.SkipWithError("cannot build the response");
    for (auto _ : state) {
        if (check_password(challenge.data(), challenge.size(), hash.data(), received.data()) != 0)
            state.SkipWithError("the response did not check");
    }
}
BENCHMARK(CheckPassword);

} // namespace

BENCHMARK_MAIN();
