// The Wireshark dissector over a capture of a real exchange, filtered as a
// technician filters it. Two devices (device 1 also runs the notifier) and
// the laptop "cfg" on the lab bridge; dumpcap records the laptop's link while
// orvanectl discovers, configures device 1 (then fails to, with a wrong
// password) and listens to an event that device 1's notifier passes on.
// tshark, with the dissector that the build wrote, must select exactly the
// frames that carry each host name, PUID, user, error text and event field.

#include "support/ipconf_device.hpp"
#include "support/lab.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string dissector = ORV_BUILD_DIR "/dist/wireshark/orvane.lua";
const std::string tshark = "/usr/bin/tshark", dumpcap = "/usr/bin/dumpcap";
const std::string laptop = lab::configurator_address;

// What a filter selects: message code (or another field's value) -> the
// addresses that sent it.
using selection = std::map<std::string, std::set<std::string>>;

class DissectorLab : public lab::SegmentTest {
protected:
    void SetUp() override
    {
        lab::SegmentTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        if (access(tshark.c_str(), X_OK) != 0 || access(dumpcap.c_str(), X_OK) != 0)
            GTEST_SKIP() << "tshark is not installed (scripts/setup installs it)";
        lab::NotifySocket ready(lab->dir());
        notifier = lab->start(one->addresses().host, {ORV_BUILD_DIR "/services/notifierd/notifierd", "-f"},
                              {.env = {one->bus_env(), ready.env()}, .tmp_dir = {}, .stdin_data = {}});
        ASSERT_TRUE(notifier && ready.wait_for("READY=1")) << (notifier ? notifier->stderr_text() : "");
        capture_path = lab->dir() + "/exchange.pcapng";
    }
    void TearDown() override
    {
        notifier.reset();
        lab::SegmentTest::TearDown();
    }

    // The frames of the capture that the display filter selects, by the
    // values of the field `by` (one per message in them).
    selection frames(const std::string &filter, const std::string &by = "orvane.msg")
    {
        auto run = lab->start("cfg", {tshark, "-n", "-r", capture_path, "-X", "lua_script:" + dissector, "-Y", filter,
                                      "-T", "fields", "-e", "ip.src", "-e", by});
        selection found;
        if (!run || run->wait(60000) != 0) {
            ADD_FAILURE() << "tshark -Y '" << filter << "': " << (run ? run->stderr_text() : "not started");
            return found;
        }
        std::istringstream lines(run->stdout_text());
        for (std::string line; std::getline(lines, line);) {
            const auto tab = line.find('\t');
            std::istringstream messages(line.substr(tab + 1));
            for (std::string message; std::getline(messages, message, ',');)
                found[message].insert(line.substr(0, tab));
        }
        return found;
    }

    std::unique_ptr<lab::Process> notifier;
    std::string capture_path;
};

TEST_F(DissectorLab, SelectsTheFramesOfARealExchangeByWhatTheyCarry)
{
    const std::string device = one->addresses().ipv4_0, other = two->addresses().ipv4_0;
    const std::string password = std::string(lab::password) + "\n";
    auto capture = lab->start("cfg", {dumpcap, "-i", "lab0", "-w", capture_path});
    ASSERT_TRUE(capture && capture->wait_for_line("Capturing on", 10000)) << (capture ? capture->stderr_text() : "");

    EXPECT_EQ(ctl("cfg", {"discover", "-t", "2"}).status, 0);
    EXPECT_EQ(ctl("cfg", configure(one->puid(), "hall-sensor"), password).status, 0);
    EXPECT_EQ(ctl("cfg", configure(one->puid(), "intruder"), "not-the-password\n").status, 1);
    auto listening =
        start("cfg", {"event", "listen", device, "--user", "admin", "--password-stdin", "--count", "1"}, password);
    ASSERT_TRUE(listening && listening->wait_for_line("logged in as admin", 10000))
        << (listening ? listening->stderr_text() : "") << notifier->stderr_text();
    EXPECT_EQ(ctl(one->addresses().host,
                  {"event", "send", "--user", "admin", "--module", "disk", "--id", "42", "level=warning", "free=3%"})
                  .status,
              0);
    EXPECT_EQ(listening->wait(10000), 0) << listening->stderr_text();
    // dumpcap takes packets from the kernel in blocks, a while after they
    // came, and takes no more once interrupted: it gets that while, and the
    // capture must then end with the close of the connection.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(capture->stop(SIGINT, 10000), 0) << capture->stderr_text();
    ASSERT_EQ(frames("tcp.flags.fin == 1", "_ws.col.Protocol"), (selection{{"TCP", {laptop, device}}}));

    // Device 1's INFO replies to the LOOK, and none of device 2's.
    EXPECT_EQ(frames(R"(orvane.hostname == "device-1")"), (selection{{"INFO", {device}}}));
    EXPECT_EQ(frames(R"(orvane.hostname == "device-2")"), (selection{{"INFO", {other}}}));
    // The CONF that asked for the name, and the INFO that announced it.
    EXPECT_EQ(frames(R"(orvane.hostname == "hall-sensor")"), (selection{{"CONF", {laptop}}, {"INFO", {device}}}));
    EXPECT_EQ(frames("orvane.puid == \"" + one->puid() + '"'), (selection{{"INFO", {device}},
                                                                          {"CHRQ", {laptop}},
                                                                          {"CHAL", {device}},
                                                                          {"CONF", {laptop}},
                                                                          {"OK", {device}},
                                                                          {"ERR", {device}}}));
    EXPECT_EQ(frames(R"(orvane.error_text contains "invalid password")"), (selection{{"ERR", {device}}}));
    // The CONFs, the notifier login, and the event addressed to the user.
    EXPECT_EQ(frames(R"(orvane.user == "admin")"),
              (selection{{"CONF", {laptop}}, {"LOGN", {laptop}}, {"EVNT", {device}}}));
    EXPECT_EQ(frames(R"(orvane.module == "disk" && orvane.event_id == "42" && orvane.key == "level" &&)"
                     R"( orvane.value == "warning")"),
              (selection{{"EVNT", {device}}}));
}

} // namespace
