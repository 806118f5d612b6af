// The daemon's 40-second answers to a configuration request nobody confirms
// early, and one whole configuration exchange under valgrind. Two devices run
// side by side on one bridge so that both 40-second outcomes are seen in one
// wait: one whose service applies the change at once (OK, then INFO) and one
// whose service holds it back for a minute (the time-out ERROR).
#include "support/ipconf_device.hpp"
#include "support/lab.hpp"

#include "ipconf/ipconf_msg.hpp"
#include "util/tlv_ez.hpp"

#include <chrono>
#include <fstream>
#include <sstream>

namespace {

using lab::bytes;
using namespace std::chrono_literals;

class IpconfTimeout : public lab::DeviceTest {
protected:
    static std::string puid_of(const lab::Device &device) { return lab::upper_case(device.addresses().mac0); }

    // Asks the device for a new host name; false when no challenge came.
    bool request_host_name(const lab::Device &device, const std::string &host_name)
    {
        lab::ConfRequest request{.puid = puid_of(device), .host_name = host_name};
        request.challenge = lab::ask_challenge(*peer, request.puid, 8000);
        return request.challenge.size() == 4 && peer->send(lab::conf_message(request));
    }
};

TEST_F(IpconfTimeout, UnconfirmedRequestsEndAtFortySecondsWithOkOrTimeout)
{
    second = std::make_unique<lab::Device>(*lab, 1);
    lab::Device &applies = *device, &holds_back = *second;
    ASSERT_TRUE(applies.start_service());
    ASSERT_TRUE(holds_back.start_service({"--apply-delay", "60"}));
    // One after the other: the peer passes over replies it is not waiting for.
    ASSERT_TRUE(applies.start_daemon());
    ASSERT_TRUE(peer->receive("INFO"_tlv, 10000, puid_of(applies)));
    ASSERT_TRUE(holds_back.start_daemon());
    ASSERT_TRUE(peer->receive("INFO"_tlv, 10000, puid_of(holds_back)));

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(request_host_name(applies, "applied-now"));
    ASSERT_TRUE(request_host_name(holds_back, "applied-later"));

    // Nothing is confirmed early: no SIGHUP reaches either daemon.
    EXPECT_FALSE(peer->receive("OK"_tlv, 30000));
    EXPECT_NE(applies.store_text().find("applied-now"), std::string::npos);

    // Both answers come at the 40-second mark, in either order: OK and then
    // INFO from the device that applied the change, the time-out ERROR from
    // the other.
    std::optional<bytes> ok, info, err;
    auto ok_at = start;
    while ((!ok || !info || !err) && std::chrono::steady_clock::now() - start < 60s) {
        auto message = peer->receive(0, 1000);
        const uint32_t type = message ? tlv_get_envelope_type(message->data()) : 0;
        const std::string from = message ? lab::puid_of(*message) : "";
        if (type == "OK"_tlv && from == puid_of(applies)) {
            ok = message;
            ok_at = std::chrono::steady_clock::now();
        } else if (type == "INFO"_tlv && from == puid_of(applies) && ok) {
            info = message;
        } else if (type == "ERR"_tlv && from == puid_of(holds_back)) {
            err = message;
        }
    }
    ASSERT_TRUE(ok && info && err) << applies.daemon_log() << holds_back.daemon_log();
    EXPECT_GE(ok_at - start, 38s);
    applies.store.host_name = "applied-now";
    EXPECT_EQ(*info, lab::expected_info(applies, puid_of(applies), 0));
    EXPECT_EQ(applies.count_lines("received SIGALRM"), 1);
    std::string text, address;
    ASSERT_TRUE(lab::error_of(*err, &text, &address));
    EXPECT_EQ(text, "timeout: the new configuration is not set");
    EXPECT_EQ(address, lab::configurator_address);

    // Both are idle again: they answer LOOK and take a new request.
    peer->drain();
    ASSERT_TRUE(peer->send(lab::take_message(ipconf_msg_build_look())));
    EXPECT_EQ(peer->collect("INFO"_tlv, 1500).size(), 2u);
    ASSERT_TRUE(request_host_name(applies, "applied-now"));
    EXPECT_TRUE(peer->receive("OK"_tlv, 6000, puid_of(applies)));
    EXPECT_EQ(applies.daemon().stop(), 0);
    EXPECT_EQ(holds_back.daemon().stop(), 0);
}

#ifndef __SANITIZE_ADDRESS__
TEST_F(IpconfTimeout, WholeConfigurationUnderValgrindHasNoLeakOrError)
{
    // Written in the daemon's private /tmp.
    const std::string report = device->private_tmp() + "/valgrind.txt";
    ASSERT_TRUE(device->start_service({"--notify-writer"}));
    ASSERT_TRUE(
        device->start_daemon({}, {"/usr/bin/valgrind", "--leak-check=full", "--errors-for-leak-kinds=definite,indirect",
                                  "--error-exitcode=99", "--log-file=/tmp/valgrind.txt"}));
    const std::string puid = puid_of(*device);
    ASSERT_TRUE(peer->receive("INFO"_tlv, 30000, puid)) << device->daemon_log();

    // A refusal, then a real change confirmed by the service's signal.
    lab::ConfRequest wrong{.puid = puid, .secret = "guess", .host_name = "x"};
    wrong.challenge = lab::ask_challenge(*peer, puid, 8000);
    ASSERT_TRUE(peer->send(lab::conf_message(wrong)));
    EXPECT_TRUE(peer->receive("ERR"_tlv, 10000, puid));

    lab::ConfRequest change{.puid = puid, .host_name = "valgrind-host"};
    change.interfaces = {{.mac = lab::upper_case(device->addresses().mac1), .ipv4_mode = 0, .ipv4 = "198.51.100.88"}};
    change.challenge = lab::ask_challenge(*peer, puid, 8000);
    ASSERT_EQ(change.challenge.size(), 4u);
    ASSERT_TRUE(peer->send(lab::conf_message(change)));
    ASSERT_TRUE(peer->receive("OK"_tlv, 30000, puid)) << device->daemon_log();
    ASSERT_TRUE(peer->send(lab::take_message(ipconf_msg_build_look())));
    EXPECT_TRUE(peer->receive("INFO"_tlv, 10000, puid));

    EXPECT_EQ(device->daemon().stop(SIGTERM, 30000), 0);
    const std::string text = lab::read_file(report);
    EXPECT_NE(text.find("ERROR SUMMARY: 0 errors"), std::string::npos) << text;
    // What stays reachable at exit is the process-wide state kept by design
    // (the cached broadcast destination); nothing may be lost.
    const bool nothing_lost = text.find("definitely lost: 0 bytes") != std::string::npos ||
                              text.find("no leaks are possible") != std::string::npos;
    EXPECT_TRUE(nothing_lost) << text;
}
#endif

} // namespace
