// A hundred devices on one segment, each with its own bus, cendrixd and
// orvaned, and one configurator: every device answers a LOOK at the same
// moment, and `orvanectl discover` must list every one of them, every time.

#include "support/lab.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int devices = 100;

class HundredDevices : public lab::LabTest {};

TEST_F(HundredDevices, EveryDiscoverListsThemAll)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "three hundred sanitized processes cost too much: this runs on the plain build";
#endif
    const auto begin = std::chrono::steady_clock::now();
    const auto folder = [&](int n) { return lab->dir() + "/d" + std::to_string(n); };
    for (int n = 1; n <= devices; ++n) {
        char mac[18];
        std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:01", n);
        const std::string host = "d" + std::to_string(n), address = "192.0.2." + std::to_string(10 + n);
        ASSERT_TRUE(lab->add_host(host) && lab->add_link(host, "lab0", mac, {address + "/24"}));
        std::filesystem::create_directories(folder(n) + "/tmp");
        std::ofstream(folder(n) + "/bus.conf")
            << "<busconfig><type>system</type><listen>unix:path=" << folder(n)
            << "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
               "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
        std::ofstream(folder(n) + "/store.json")
            << R"({"configurations": {"17": {"hostname": ")" << host << R"("}, "18": {"product_name": "Sensor Hub"},
  "6": {"primary_interface_id": 1}}, "resources": {"6": [{"id": 1, "name": "lab0", "mac": ")"
            << mac << R"(", "link_up": true, "ip_config_id": 10}], "26": [{"id": 10, "mode": 1, "ipv4": ")" << address
            << R"(", "netmask": "255.255.255.0"}]}})";
    }
    ASSERT_TRUE(lab->add_host("cfg") && lab->add_link("cfg", "lab0", "02:00:00:00:0c:01", {"192.0.2.200/24"}));

    // Each program on every device at once ("@" stands for the device's
    // folder), then each one waited for: the waits overlap, so a start costs
    // one time-out at most.
    std::vector<std::unique_ptr<lab::Process>> started;
    const auto start_all = [&](const std::string &ready, std::vector<std::string> argv, bool on_bus) {
        if (HasFatalFailure())
            return;
        for (int n = 1; n <= devices; ++n) {
            auto args = argv;
            for (auto &arg : args)
                if (const auto at = arg.find('@'); at != std::string::npos)
                    arg.replace(at, 1, folder(n));
            lab::StartOptions options;
            if (on_bus)
                options = {.env = {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + folder(n) + "/bus"},
                           .tmp_dir = folder(n) + "/tmp",
                           .stdin_data = {}};
            started.push_back(lab->start("d" + std::to_string(n), args, options));
            ASSERT_TRUE(started.back());
        }
        for (auto p = started.end() - devices; p != started.end(); ++p)
            ASSERT_TRUE((*p)->wait_for_line(ready, 60000)) << ready << ": " << (*p)->stderr_text();
    };
    start_all(
        "guid=", {"/usr/bin/dbus-daemon", "--config-file=@/bus.conf", "--nofork", "--print-address=1", "--nosyslog"},
        false);
    start_all("cendrixd: serving", {ORV_BUILD_DIR "/services/cendrixd/cendrixd", "--store", "@/store.json"}, true);
    start_all("RPC server up", {ORV_BUILD_DIR "/daemon/orvaned", "-f", "-b", "lab0"}, true);
    ASSERT_FALSE(HasFatalFailure());
    const double start_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    for (int run = 1; run <= 5; ++run) {
        auto finder = lab->start(
            "cfg", {ORV_BUILD_DIR "/tools/orvanectl/orvanectl", "--json", "discover", "-i", "lab0", "-t", "3"});
        ASSERT_TRUE(finder);
        ASSERT_EQ(finder->wait(30000), 0) << finder->stderr_text();
        std::set<std::string> puids;
        const auto listed = nlohmann::json::parse(finder->stdout_text(), nullptr, false);
        for (const auto &device :
             listed.is_object() ? listed.value("devices", nlohmann::json::array()) : nlohmann::json::array())
            puids.insert(device.value("puid", ""));
        EXPECT_EQ(puids.size(), static_cast<size_t>(devices)) << "discover " << run << " listed " << puids.size();
    }
    std::printf("hundred devices: started in %.1f s; %.1f s in all\n", start_seconds,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
}

} // namespace
