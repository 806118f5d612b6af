// The daemon's 40-second answers to a configuration request nobody confirms
// early, and one whole configuration exchange under valgrind. Two devices run
// side by side on one bridge so that both 40-second outcomes are seen in one
// wait: one whose service applies the change at once (OK, then INFO) and one
// whose service holds it back for a minute (the time-out ERROR).
#include "support/ipconf_device.hpp"

#include <chrono>
#include <future>

namespace {

using namespace std::chrono_literals;
using configurator::outcome;

class IpconfTimeout : public lab::DeviceTest {};

TEST_F(IpconfTimeout, UnconfirmedRequestsEndAtFortySecondsWithOkOrTimeout)
{
    second = std::make_unique<lab::Device>(*lab, 1);
    lab::Device &applies = *device, &holds_back = *second;
    ASSERT_TRUE(applies.start_service());
    ASSERT_TRUE(holds_back.start_service({"--apply-delay", "60"}));
    for (lab::Device *each : {&applies, &holds_back}) {
        ASSERT_TRUE(each->start_daemon());
        ASSERT_TRUE(peer->receive("INFO"_tlv, 10000, each->puid()));
    }

    // Both requests at once. No SIGHUP reaches either daemon, so nothing is
    // confirmed early: at the 40-second mark the device that applied the
    // change sends OK and then INFO, the other the time-out ERROR.
    const auto start = std::chrono::steady_clock::now();
    const auto ask = [&](const lab::Device &each, const std::string &host_name) {
        return std::async(std::launch::async, [&, host_name] {
            auto result = configure(request(each.puid(), host_name), 60000);
            return std::pair(result, std::chrono::steady_clock::now() - start);
        });
    };
    auto applying = ask(applies, "applied-now"), holding = ask(holds_back, "applied-later");
    const auto [ok, ok_at] = applying.get();
    const auto [err, err_at] = holding.get();
    EXPECT_EQ(ok.result, outcome::ok) << ok.error << applies.daemon_log();
    EXPECT_EQ(err.device_error, "timeout: the new configuration is not set") << err.error << holds_back.daemon_log();
    EXPECT_GE(ok_at, 38s);
    EXPECT_GE(err_at, 38s);
    // The latest INFO: configure's own LOOKs were answered before and after.
    const auto infos = peer->collect("INFO"_tlv, 1000, applies.puid());
    const auto info = infos.empty() ? lab::bytes{} : infos.back();
    EXPECT_NE(std::string(info.begin(), info.end()).find(std::string("applied-now") + '\0'), std::string::npos);

    // Idle again: a new request is taken, the device that timed out still
    // answers, and both stop cleanly.
    EXPECT_EQ(configure(request(applies.puid(), "applied-now")).result, outcome::ok);
    EXPECT_TRUE(peer->look(3000, holds_back.puid())) << holds_back.daemon_log();
    EXPECT_EQ(applies.daemon().stop(), 0);
    EXPECT_EQ(holds_back.daemon().stop(), 0);
}

#ifndef __SANITIZE_ADDRESS__
TEST_F(IpconfTimeout, WholeConfigurationUnderValgrindHasNoLeakOrError)
{
    ASSERT_TRUE(device->start_service({"--notify-writer"}));
    ASSERT_TRUE(
        device->start_daemon({}, {"/usr/bin/valgrind", "--leak-check=full", "--errors-for-leak-kinds=definite,indirect",
                                  "--error-exitcode=99", "--log-file=/tmp/valgrind.txt"}));
    const std::string puid = device->puid();
    ASSERT_TRUE(peer->receive("INFO"_tlv, 30000, puid)) << device->daemon_log();

    // A refusal, then a real change confirmed by the service's signal, then a LOOK.
    auto wrong = request(puid, "x");
    wrong.password_hash = configurator::password_hash("guess");
    EXPECT_EQ(configure(wrong, 10000).result, outcome::refused);
    auto change = request(puid, "valgrind-host");
    change.interfaces = {
        {.mac = lab::upper_case(device->addresses().mac1), .ipv4_method = IPV4_STATIC, .address = "198.51.100.88"}};
    ASSERT_EQ(configure(change, 30000).result, outcome::ok) << device->daemon_log();
    EXPECT_TRUE(peer->look(10000, puid));

    EXPECT_EQ(device->daemon().stop(SIGTERM, 30000), 0);
    const std::string text = lab::read_file(device->private_tmp() + "/valgrind.txt");
    EXPECT_NE(text.find("ERROR SUMMARY: 0 errors"), std::string::npos) << text;
    // What stays reachable at exit is the process-wide state kept by design
    // (the cached broadcast destination); nothing may be lost.
    const bool nothing_lost = text.find("definitely lost: 0 bytes") != std::string::npos ||
                              text.find("no leaks are possible") != std::string::npos;
    EXPECT_TRUE(nothing_lost) << text;
}
#endif

} // namespace
