// A hundred devices on one segment, each with its own bus, cendrixd and
// orvaned, and one configurator: every device answers a LOOK at the same
// moment, and `orvanectl discover` must list every one of them, every time.

#include "support/ipconf_device.hpp"
#include "support/lab.hpp"

#include "ipconf/ipconf_msg.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int devices = 100;
constexpr int discovers = 5;

std::string mac_of(int n)
{
    char text[18];
    std::snprintf(text, sizeof text, "02:00:00:00:%02X:01", n);
    return text;
}

std::string store_of(int n)
{
    const std::string address = "192.0.2." + std::to_string(10 + n);
    return R"({"configurations": {"17": {"hostname": "device-)" + std::to_string(n) +
           R"("}, "18": {"product_name": "Sensor Hub"}, "6": {"primary_interface_id": 1}},
 "resources": {"6": [{"id": 1, "name": "lab0", "mac": ")" +
           mac_of(n) + R"(", "link_up": true, "ip_config_id": 10}],
  "26": [{"id": 10, "mode": 1, "ipv4": ")" +
           address + R"(", "netmask": "255.255.255.0"}]}})";
}

// Private_Clean + Private_Dirty of a process, in kB.
long private_kb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    long total = 0;
    for (std::string key, value, unit; in >> key;)
        if ((key == "Private_Clean:" || key == "Private_Dirty:") && in >> value >> unit)
            total += std::stol(value);
    return total;
}

// Starts one program per device, all at once, then waits for each to say
// `ready`: the waits overlap, so the whole start is bounded by one time-out.
bool start_all(lab::Lab &lab, std::vector<std::unique_ptr<lab::Process>> &into, const std::string &ready,
               const std::function<std::vector<std::string>(int)> &argv,
               const std::function<lab::StartOptions(int)> &options)
{
    for (int n = 1; n <= devices; ++n)
        into.push_back(lab.start("d" + std::to_string(n), argv(n), options(n)));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (const auto &p : into) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (!p || !p->wait_for_line(ready, static_cast<int>(std::max<long long>(left.count(), 0)))) {
            ADD_FAILURE() << "not ready (\"" << ready << "\"): " << (p ? p->stderr_text() : "not started");
            return false;
        }
    }
    return true;
}

class HundredDevices : public lab::LabTest {};

TEST_F(HundredDevices, EveryDiscoverListsThemAll)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "three hundred sanitized processes cost too much: this runs on the plain build";
#endif
    const auto begin = std::chrono::steady_clock::now();
    const std::string dir = lab->dir();
    for (int n = 1; n <= devices; ++n) {
        const std::string host = "d" + std::to_string(n);
        ASSERT_TRUE(lab->add_host(host));
        ASSERT_TRUE(lab->add_link(host, "lab0", mac_of(n), {"192.0.2." + std::to_string(10 + n) + "/24"}));
        const std::string folder = dir + "/" + host;
        std::filesystem::create_directories(folder + "/tmp");
        std::ofstream(folder + "/bus.conf")
            << "<busconfig><type>system</type><listen>unix:path=" << folder
            << "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
               "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
        std::ofstream(folder + "/store.json") << store_of(n);
    }
    ASSERT_TRUE(lab->add_host("cfg"));
    ASSERT_TRUE(lab->add_link("cfg", "lab0", "02:00:00:00:0c:01", {"192.0.2.200/24"}));
    const auto folder = [&](int n) { return dir + "/d" + std::to_string(n); };
    const auto bus_env = [&](int n) { return "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + folder(n) + "/bus"; };

    const auto plain = [](int) { return lab::StartOptions{}; };
    const auto on_bus = [&](int n) {
        return lab::StartOptions{.env = {bus_env(n)}, .tmp_dir = folder(n) + "/tmp", .stdin_data = {}};
    };
    std::vector<std::unique_ptr<lab::Process>> buses, services, daemons;
    ASSERT_TRUE(start_all(
        *lab, buses, "guid=",
        [&](int n) {
            return std::vector<std::string>{"/usr/bin/dbus-daemon", "--config-file=" + folder(n) + "/bus.conf",
                                            "--nofork", "--print-address=1", "--nosyslog"};
        },
        plain));
    ASSERT_TRUE(start_all(
        *lab, services, "cendrixd: serving",
        [&](int n) {
            return std::vector<std::string>{ORV_BUILD_DIR "/services/cendrixd/cendrixd", "--store",
                                            folder(n) + "/store.json"};
        },
        on_bus));
    ASSERT_TRUE(start_all(
        *lab, daemons, "RPC server up",
        [](int) {
            return std::vector<std::string>{ORV_BUILD_DIR "/daemon/orvaned", "-f", "-b", "lab0"};
        },
        on_bus));
    const double start_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    for (int run = 1; run <= discovers; ++run) {
        auto finder = lab->start(
            "cfg", {ORV_BUILD_DIR "/tools/orvanectl/orvanectl", "--json", "discover", "-i", "lab0", "-t", "3"});
        ASSERT_TRUE(finder);
        ASSERT_EQ(finder->wait(30000), 0) << finder->stderr_text();
        const auto listed = nlohmann::json::parse(finder->stdout_text(), nullptr, false);
        std::set<std::string> puids;
        for (const auto &device :
             listed.is_object() ? listed.value("devices", nlohmann::json::array()) : nlohmann::json::array())
            puids.insert(device.value("puid", ""));
        EXPECT_EQ(puids.size(), static_cast<size_t>(devices)) << "discover " << run << " listed " << puids.size();
    }

    // When the last of the burst arrives, seen from a plain socket.
    lab::IpconfPeer peer(*lab, "cfg");
    ASSERT_TRUE(peer.ok());
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(peer.send(lab::take_message(ipconf_msg_build_look())));
    std::set<std::string> answered;
    auto last = sent;
    while (answered.size() < devices) {
        const auto info = peer.receive("INFO"_tlv, 5000);
        if (!info)
            break;
        answered.insert(lab::puid_of(*info));
        last = std::chrono::steady_clock::now();
    }
    EXPECT_EQ(answered.size(), static_cast<size_t>(devices));

    long memory = 0;
    for (const auto *group : {&buses, &services, &daemons})
        for (const auto &p : *group)
            memory += private_kb(p->pid());
    std::printf("hundred devices: started in %.1f s; last of %zu replies after %.1f ms; private memory of their %d "
                "processes %ld MiB; %.1f s in all\n",
                start_seconds, answered.size(), std::chrono::duration<double, std::milli>(last - sent).count(),
                3 * devices, memory / 1024,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
}

} // namespace
