// The daemon's bridge to the configuration service against the real service
// on a private bus: every operation round-trips into the store, and the
// daemon's start-up waits for the bus and the service, gives up on SIGTERM,
// and binds to the interface the service names.

#include "ipconf/interface_conf.hpp"
#include "platform/cendrix_comm.hpp"
#include "platform/product_info.hpp"
#include "support/dbus_lab.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
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
        run = 1;
        lab::DbusLabTest::TearDown();
    }
};

TEST_F(CendrixSession, EveryOperationRoundTripsThroughTheStore)
{
    ASSERT_TRUE(bus->start_service());
    run = 1;
    ASSERT_EQ(cendrix_open_session(), 0);

    // Host name out, product identity back.
    EXPECT_EQ(cendrix_set_hostname("renamed-device"), 0);
    char buffers[7][64] = {};
    product_info record{buffers[0], 0, buffers[1], buffers[2], buffers[3], buffers[4], buffers[5], buffers[6]};
    ASSERT_EQ(cendrix_get_product_info(&record), 0);
    EXPECT_STREQ(record.host_name, "renamed-device");
    EXPECT_STREQ(record.product_name, "Sensor Hub");
    EXPECT_STREQ(record.hardware_revision, "B");
    EXPECT_STREQ(record.system_version, "1.4.2");
    EXPECT_EQ(json::parse(bus->read_store())["configurations"]["17"]["hostname"], "renamed-device");
    // Not UTF-8: refused by the client, nothing stored.
    EXPECT_EQ(cendrix_set_hostname("caf\xe9"), -1);

    // SHA-1 of "secret".
    const uint8_t secret[20] = {0xe5, 0xe9, 0xfa, 0x1b, 0xa3, 0x1e, 0xcd, 0x1a, 0xe8, 0x4f,
                                0x75, 0xca, 0xaa, 0x47, 0x4f, 0x3a, 0x66, 0x3f, 0x05, 0xf4};
    uint8_t hash[20] = {};
    ASSERT_EQ(cendrix_get_password_sha1("admin", hash), 0);
    EXPECT_EQ(std::memcmp(hash, secret, sizeof hash), 0);
    EXPECT_EQ(cendrix_get_password_sha1("Admin", hash), -1);

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
    EXPECT_STREQ(conf.mac, "02:00:00:00:00:01");
    EXPECT_EQ(conf.link_state, 1);
    EXPECT_EQ(conf.ipv4_mode, 0);
    EXPECT_STREQ(conf.ipv4, "192.0.2.10");
    EXPECT_STREQ(conf.dns, "192.0.2.53");
    EXPECT_STREQ(conf.broadcast, "0.0.0.0");

    // A request for lab1: static addressing, address and netmask only.
    char address[] = "198.51.100.7", netmask[] = "255.255.255.0";
    interface_conf request{nullptr, nullptr, 3, 2, 0, address, netmask, nullptr, nullptr, nullptr, nullptr};
    ASSERT_EQ(cendrix_set_interface_conf("lab1", &request), 0);
    const json stored = json::parse(bus->read_store())["resources"]["26"][1];
    EXPECT_EQ(stored["mode"], 1);
    EXPECT_EQ(stored["ipv4"], "198.51.100.7");
    EXPECT_EQ(stored["netmask"], "255.255.255.0");
    EXPECT_EQ(stored["gateway"], "");
    ASSERT_EQ(cendrix_get_interface_conf("lab1", &conf), 0);
    EXPECT_EQ(conf.ipv4_mode, 0);
    EXPECT_EQ(conf.link_state, 0);
    EXPECT_STREQ(conf.ipv4, "198.51.100.7");
    EXPECT_STREQ(conf.mac, "02:00:00:00:00:0A");
    free_interface_conf(&conf);

    EXPECT_EQ(cendrix_close_session(), 0);
    EXPECT_EQ(cendrix_get_primary_interface_name(), nullptr);
}

class DaemonStartUp : public lab::DbusLabTest {
protected:
    // The device namespace "dev" with lab0, and orvaned -f in it.
    std::unique_ptr<lab::Process> start_daemon()
    {
        if (!lab->add_host("dev") ||
            !lab->add_link("dev", "lab0", "02:00:00:00:00:01", {"192.0.2.10/24"}))
            return nullptr;
        lab::StartOptions start;
        start.tmp_dir = lab->dir() + "/dev-tmp";
        mkdir(start.tmp_dir.c_str(), 0700);
        return lab->start("dev", {daemon_path, "-f"}, start);
    }
};

int thread_count(pid_t pid)
{
    int count = 0;
    for ([[maybe_unused]] const auto &entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
        ++count;
    return count;
}

TEST_F(DaemonStartUp, WaitsForTheServiceThenBindsToItsPrimaryInterfaceWithOneThread)
{
    auto daemon = start_daemon();
    ASSERT_NE(daemon, nullptr);
    ASSERT_TRUE(daemon->wait_for_line("Connection to Cendrix Dbus service failed, retrying", 5000))
        << daemon->stderr_text();
    EXPECT_FALSE(daemon->wait_for_line("Trying to bind", 0));
    ASSERT_TRUE(bus->start_service());
    // The next probe, at most one 3-second wait later, finds it.
    ASSERT_TRUE(daemon->wait_for_line("Trying to bind to lab0", 8000)) << daemon->stderr_text();
    EXPECT_TRUE(daemon->running()) << daemon->stderr_text();
    EXPECT_EQ(thread_count(daemon->pid()), 1);
    EXPECT_EQ(daemon->stop(), 0);
    EXPECT_TRUE(daemon->wait_for_line("stop", 0));
}

TEST_F(DaemonStartUp, SigtermDuringEitherWaitEndsWithStatusOneAfterStop)
{
    // No bus yet at the address the daemon is given.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus->absent_address().c_str(), 1);
    auto daemon = start_daemon();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus->address().c_str(), 1);
    ASSERT_NE(daemon, nullptr);
    ASSERT_TRUE(daemon->wait_for_line("Connection to Dbus system bus failed, retrying", 5000))
        << daemon->stderr_text();
    EXPECT_EQ(daemon->stop(SIGTERM, 5000), 1);
    std::string log = daemon->stderr_text();
    EXPECT_NE(log.find("orvaned: stop\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Trying to bind"), std::string::npos) << log;
    EXPECT_EQ(log.find("Connection to Dbus system bus failed\n"), std::string::npos) << log;

    // The bus answers but the service does not.
    auto second = lab->start("dev", {daemon_path, "-f"});
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(second->wait_for_line("Connection to Cendrix Dbus service failed, retrying", 5000))
        << second->stderr_text();
    EXPECT_EQ(second->stop(SIGTERM, 5000), 1);
    log = second->stderr_text();
    EXPECT_NE(log.find("orvaned: stop\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Trying to bind"), std::string::npos) << log;
}

TEST_F(DaemonStartUp, ServiceWithoutAPrimaryInterfaceEndsTheDaemonWithStatusZero)
{
    std::string store = lab::sample_store();
    store.replace(store.find("\"primary_interface_id\": 1"), 25, "\"primary_interface_id\": 9");
    ASSERT_TRUE(bus->write_store(store));
    ASSERT_TRUE(bus->start_service());
    auto daemon = start_daemon();
    ASSERT_NE(daemon, nullptr);
    EXPECT_EQ(daemon->wait(10000), 0) << daemon->stderr_text();
    const std::string log = daemon->stderr_text();
    // Closing the server that never opened still reports its RPC endpoint down.
    EXPECT_NE(log.find("orvaned: Could not get primary network interface\norvaned: RPC server down\n"
                       "orvaned: stop\n"),
              std::string::npos)
        << log;

    // With -b the service's primary interface is not asked for.
    auto bound = lab->start("dev", {daemon_path, "-f", "-b", "lab0"});
    ASSERT_NE(bound, nullptr);
    EXPECT_TRUE(bound->wait_for_line("Trying to bind to lab0", 5000)) << bound->stderr_text();
    EXPECT_EQ(bound->stop(), 0);
}

} // namespace
