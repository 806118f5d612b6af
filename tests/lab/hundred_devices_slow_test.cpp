// A hundred devices on one segment, each with its own bus, cendrixd and
// orvaned, and one configurator: every device answers a LOOK at the same
// moment, and `orvanectl discover` must list every one of them, every time.

#include "support/dbus_lab.hpp"
#include "support/lab.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
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
    ASSERT_TRUE(lab->add_host("cfg") && lab->add_link("cfg", "lab0", "02:00:00:00:0c:01", {"192.0.2.200/24"}));
    std::vector<std::unique_ptr<lab::DbusLab>> buses;
    std::vector<std::unique_ptr<lab::Process>> daemons;
    for (int n = 1; n <= devices; ++n) {
        char mac[18];
        std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:01", n);
        const std::string host = "d" + std::to_string(n), address = "192.0.2." + std::to_string(10 + n);
        const std::string folder = lab->dir() + "/" + host;
        std::filesystem::create_directories(folder + "/tmp");
        ASSERT_TRUE(lab->add_host(host) && lab->add_link(host, "lab0", mac, {address + "/24"}));
        const auto &bus = buses.emplace_back(std::make_unique<lab::DbusLab>(folder));
        // The lab's sample store with this device's name, MAC and address.
        auto store = nlohmann::json::parse(lab::sample_store());
        store["configurations"]["17"]["hostname"] = host;
        store["resources"]["6"][0]["mac"] = mac;
        store["resources"]["26"][0]["ipv4"] = address;
        ASSERT_TRUE(bus->start_bus() && bus->write_store(store.dump()) && bus->start_service());
        // Each daemon starts once its service runs; all are waited for below.
        daemons.push_back(lab->start(host, {ORV_BUILD_DIR "/daemon/orvaned", "-f", "-b", "lab0"},
                                     {.env = {bus->env()}, .tmp_dir = folder + "/tmp", .stdin_data = {}}));
    }
    for (const auto &daemon : daemons)
        ASSERT_TRUE(daemon && daemon->wait_for_line("RPC server up", 60000)) << (daemon ? daemon->stderr_text() : "");
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
