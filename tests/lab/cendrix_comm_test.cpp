// The daemon's bridge to the configuration service against the real service
// on a private bus: every operation round-trips into the store, and the
// daemon's start-up waits for the bus and the service, gives up on SIGTERM,
// and binds to the interface the service names.

#include "ipconf/interface_conf.hpp"
#include "platform/cendrix_comm.hpp"
#include "platform/product_info.hpp"
#include "support/dbus_lab.hpp"
#include "support/ipconf_device.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cstdlib>
#include <vector>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace {

using nlohmann::json;

const std::string daemon_path = ORV_BUILD_DIR "/daemon/orvaned";

class CendrixSession : public lab::DbusLabTest {
protected:
    void TearDown() override
    {
        (void)cendrix_close_session();
        lab::DbusLabTest::TearDown();
    }
};

TEST_F(CendrixSession, EveryOperationRoundTripsThroughTheStore)
{
    ASSERT_TRUE(bus->start_service());
    ASSERT_EQ(cendrix_open_session(), 0);

    // Host name out, product identity back.
    EXPECT_EQ(cendrix_set_hostname("renamed-device"), 0);
    char buffers[7][64] = {};
    product_info record{buffers[0], 0, buffers[1], buffers[2], buffers[3], buffers[4], buffers[5], buffers[6]};
    ASSERT_EQ(cendrix_get_product_info(&record), 0);
    EXPECT_STREQ(record.host_name, "renamed-device");
    EXPECT_STREQ(record.product_name, "Sensor Hub");
    EXPECT_STREQ(record.system_version, "1.4.2");
    EXPECT_EQ(json::parse(bus->read_store())["configurations"]["17"]["hostname"], "renamed-device");
    // Not UTF-8: refused by the client, nothing stored.
    EXPECT_EQ(cendrix_set_hostname("caf\xe9"), -1);

    std::array<uint8_t, 20> hash{};
    ASSERT_EQ(cendrix_get_password_sha1("admin", hash.data()), 0);
    EXPECT_EQ(hash, lab::password_hash());
    EXPECT_EQ(cendrix_get_password_sha1("Admin", hash.data()), -1);

    // lab1's MAC is held in lower case.
    char name[16] = {};
    ASSERT_EQ(cendrix_get_interface_name("02:00:00:00:00:0A", name), 0);
    EXPECT_STREQ(name, "lab1");

    char *primary = cendrix_get_primary_interface_name();
    ASSERT_NE(primary, nullptr);
    EXPECT_STREQ(primary, "lab0");
    std::free(primary);

    interface_conf conf;
    init_interface_conf(&conf);
    ASSERT_EQ(cendrix_get_interface_conf("lab0", &conf), 0);
    EXPECT_EQ(std::string(conf.mac) + " " + conf.ipv4 + " " + conf.dns + " " + conf.broadcast,
              "02:00:00:00:00:01 192.0.2.10 192.0.2.53 0.0.0.0");
    EXPECT_EQ(conf.link_state * 10 + conf.ipv4_mode, 10) << "link up, static";

    // A request for lab1: static addressing, address and netmask only.
    char address[] = "198.51.100.7", netmask[] = "255.255.255.0";
    interface_conf request{nullptr, nullptr, 3, 2, 0, address, netmask, nullptr, nullptr, nullptr, nullptr};
    ASSERT_EQ(cendrix_set_interface_conf("lab1", &request), 0);
    EXPECT_EQ(json::parse(bus->read_store())["resources"]["26"][1],
              json::parse(R"({"id": 11, "mode": 1, "ipv4": "198.51.100.7", "netmask": "255.255.255.0",
                              "gateway": "", "dns_servers": "", "wins": ""})"));
    ASSERT_EQ(cendrix_get_interface_conf("lab1", &conf), 0);
    EXPECT_EQ(conf.ipv4_mode, 0);
    EXPECT_STREQ(conf.ipv4, "198.51.100.7");
    EXPECT_STREQ(conf.mac, "02:00:00:00:00:0A");
    free_interface_conf(&conf);

    EXPECT_EQ(cendrix_close_session(), 0);
    EXPECT_EQ(cendrix_get_primary_interface_name(), nullptr);
}

class DaemonStartUp : public lab::DbusLabTest {
protected:
    // orvaned -f in the device namespace "dev" (link lab0), on the given bus.
    std::unique_ptr<lab::Process> start_daemon(const std::string &bus_address, std::vector<std::string> args = {})
    {
        if (lab->netns("dev").empty() &&
            (!lab->add_host("dev") || !lab->add_link("dev", "lab0", "02:00:00:00:00:01", {"192.0.2.10/24"})))
            return nullptr;
        const std::string tmp = lab->dir() + "/dev-tmp";
        mkdir(tmp.c_str(), 0700);
        args.insert(args.begin(), {daemon_path, "-f"});
        return lab->start("dev", args, {.env = {"DBUS_SYSTEM_BUS_ADDRESS=" + bus_address}, .tmp_dir = tmp,
                                        .stdin_data = {}});
    }
};

TEST_F(DaemonStartUp, WaitsForTheServiceThenBindsToItsPrimaryInterfaceWithOneThread)
{
    auto daemon = start_daemon(bus->address());
    ASSERT_NE(daemon, nullptr);
    ASSERT_TRUE(daemon->wait_for_line("Connection to Cendrix Dbus service failed, retrying", 5000))
        << daemon->stderr_text();
    EXPECT_FALSE(daemon->wait_for_line("Trying to bind", 0));
    ASSERT_TRUE(bus->start_service());
    // The next probe, at most one 3-second wait later, finds it.
    ASSERT_TRUE(daemon->wait_for_line("Trying to bind to lab0", 8000)) << daemon->stderr_text();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(daemon->pid()) + "/task"),
                            {}),
              1);
    EXPECT_EQ(daemon->stop(), 0);
    EXPECT_TRUE(daemon->wait_for_line("stop", 0));
}

TEST_F(DaemonStartUp, SigtermDuringEitherWaitEndsWithStatusOneAfterStop)
{
    // No bus at the address; then a bus without the service.
    const std::vector<std::pair<std::string, std::string>> waits = {
        {"unix:path=" + lab->dir() + "/absent-bus", "Connection to Dbus system bus failed, retrying"},
        {bus->address(), "Connection to Cendrix Dbus service failed, retrying"}};
    for (const auto &[address, retrying] : waits) {
        auto daemon = start_daemon(address);
        ASSERT_NE(daemon, nullptr);
        ASSERT_TRUE(daemon->wait_for_line(retrying, 5000)) << daemon->stderr_text();
        EXPECT_EQ(daemon->stop(SIGTERM, 5000), 1);
        const std::string log = daemon->stderr_text();
        EXPECT_NE(log.find("orvaned: stop\n"), std::string::npos) << log;
        EXPECT_EQ(log.find("Trying to bind"), std::string::npos) << log;
        EXPECT_EQ(log.find("Connection to Dbus system bus failed\n"), std::string::npos) << log;
    }
}

TEST_F(DaemonStartUp, ServiceWithoutAPrimaryInterfaceEndsTheDaemonWithStatusZero)
{
    std::string store = lab::sample_store();
    store.replace(store.find("\"primary_interface_id\": 1"), 25, "\"primary_interface_id\": 9");
    ASSERT_TRUE(bus->write_store(store));
    ASSERT_TRUE(bus->start_service());
    auto daemon = start_daemon(bus->address());
    ASSERT_NE(daemon, nullptr);
    EXPECT_EQ(daemon->wait(10000), 0) << daemon->stderr_text();
    // Closing the server that never opened still reports its RPC endpoint down.
    EXPECT_NE(daemon->stderr_text().find("orvaned: Could not get primary network interface\norvaned: RPC server "
                                         "down\norvaned: stop\n"),
              std::string::npos)
        << daemon->stderr_text();
}

} // namespace
