// The daemon's bridge to the configuration service against the real service
// on a private bus: every operation round-trips into the store and maps the
// service's values (and texts at their buffers' limits) into the daemon's
// records, also for the interfaces the kernel lists; the start-up waits for
// the bus and the service at most a hundred attempts each, gives up on
// SIGTERM, and binds to the interface the service names.

#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "platform/cendrix_comm.hpp"
#include "platform/net_conf.hpp"
#include "platform/product_info.hpp"
#include "support/dbus_lab.hpp"
#include "support/ipconf_device.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <syslog.h>

#include <array>
#include <cctype>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using nlohmann::json;

const std::string daemon_path = ORV_BUILD_DIR "/daemon/orvaned";

class CendrixSession : public lab::DbusLabTest {
protected:
    void TearDown() override
    {
        interface_conf_list_close();
        (void)cendrix_close_session();
        lab::DbusLabTest::TearDown();
    }
};

// The sample store with the cases the daemon's records must map: an account
// whose hash is in upper case and ones whose hash is not 40 hex digits, an
// interface with an upper-case MAC, link_up 7 and a mode the daemon does not
// know, one without a configuration, and texts at their buffers' limits.
json edge_store()
{
    json store = json::parse(lab::sample_store());
    const std::string hash = store["resources"]["0"][0]["password_sha1"];
    std::string upper = hash;
    for (char &c : upper)
        c = static_cast<char>(std::toupper(c));
    store["resources"]["0"] += {{"id", 2}, {"login", "ADMIN"}, {"password_sha1", upper}};
    store["resources"]["0"] += {{"id", 3}, {"login", "odd"}, {"password_sha1", std::string(40, 'g')}};
    store["resources"]["0"] += {{"id", 4}, {"login", "short"}, {"password_sha1", hash.substr(0, 38)}};
    store["resources"]["6"] +=
        {{"id", 3}, {"name", std::string(15, 'n')}, {"mac", "02:AB:CD:EF:00:11"}, {"link_up", 7}, {"ip_config_id", 12}};
    store["resources"]["6"] += {{"id", 4},
                                {"name", std::string(16, 'n')},
                                {"mac", "02:00:00:00:00:16"},
                                {"link_up", true},
                                {"ip_config_id", 0}};
    store["resources"]["6"] += {{"id", 5}, {"name", "lo0"}, {"link_up", true}, {"ip_config_id", 12}};
    store["resources"]["26"] += {{"id", 12},
                                 {"mode", 5},
                                 {"ipv4", std::string(45, '1')},
                                 {"dns_servers", std::string(45, '5') + "," + std::string(50, '6')}};
    store["configurations"]["18"]["hardware_revision"] = std::string(31, 'r');
    store["configurations"]["18"].erase("product_id");
    return store;
}

std::string text_of(const interface_conf &conf)
{
    return std::string(conf.mac) + " " + std::to_string(conf.link_state) + std::to_string(conf.ipv4_mode) + " " +
           conf.ipv4 + " [" + conf.gateway + "] " + conf.broadcast + " " + conf.dns;
}

TEST_F(CendrixSession, EveryOperationRoundTripsThroughTheStore)
{
    json store = edge_store();
    ASSERT_TRUE(bus->write_store(store.dump()));
    ASSERT_TRUE(bus->start_service());
    ASSERT_EQ(cendrix_open_session(), 0);

    // Host name out (63 characters fit, 64 do not), product identity back.
    const std::string longest(63, 'h');
    EXPECT_EQ(cendrix_set_hostname(longest.c_str()), 0);
    EXPECT_EQ(cendrix_set_hostname((longest + "h").c_str()), -1);
    EXPECT_EQ(json::parse(bus->read_store())["configurations"]["17"]["hostname"], longest);
    char buffers[7][64] = {"", "", "", "stale"};
    product_info record{buffers[0], 0, buffers[1], buffers[2], buffers[3], buffers[4], buffers[5], buffers[6]};
    ASSERT_EQ(cendrix_get_product_info(&record), 0);
    EXPECT_EQ(std::string(record.host_name) + "|" + record.product_name + "|" + record.product_id + "|" +
                  record.system_version + "|" + record.hardware_revision,
              longest + "|Sensor Hub||1.4.2|" + std::string(31, 'r'));

    // Hashes in either case give the same bytes; others leave the buffer alone.
    std::array<uint8_t, 20> hash{};
    for (const char *login : {"admin", "ADMIN"}) {
        hash = {};
        ASSERT_EQ(cendrix_get_password_sha1(login, hash.data()), 0) << login;
        EXPECT_EQ(hash, lab::password_hash()) << login;
    }
    hash.fill(0x5a);
    for (const char *login : {"Admin", "odd", "short"})
        EXPECT_EQ(cendrix_get_password_sha1(login, hash.data()), -1) << login;
    EXPECT_EQ(hash[0], 0x5a);

    // A MAC is found as given, in lower or in upper case; a name of 16
    // characters does not fit, nor does a MAC text of another length.
    const std::pair<const char *, std::string> macs[] = {
        {"02:00:00:00:00:01", "lab0"}, {"02:00:00:00:00:0A", "lab1"}, {"02:ab:CD:ef:00:11", std::string(15, 'n')},
        {"02:00:00:00:00:16", "-1"},   {"02:00:00:00:00:99", "-1"},   {"02:00:00:00:00:1", "-1"},
        {"02:00:00:00:00:011", "-1"}};
    for (const auto &[mac, expected] : macs) {
        char name[16] = {};
        EXPECT_EQ(cendrix_get_interface_name(mac, name) == 0 ? std::string(name) : "-1", expected) << mac;
    }

    char *primary = cendrix_get_primary_interface_name();
    ASSERT_NE(primary, nullptr);
    EXPECT_STREQ(primary, "lab0");
    std::free(primary);

    // No gateway is the empty text, no broadcast 0.0.0.0, DNS the first
    // server; MACs upper-cased; link_up true, false, 7 and mode 1, 0, 5.
    interface_conf conf;
    init_interface_conf(&conf);
    std::vector<std::string> read;
    for (const std::string &name : {std::string("lab0"), std::string("lab1"), std::string(15, 'n')})
        read.push_back(cendrix_get_interface_conf(name.c_str(), &conf) == 0 ? text_of(conf) : "-1");
    EXPECT_EQ(read,
              (std::vector<std::string>{
                  "02:00:00:00:00:01 10 192.0.2.10 [192.0.2.1] 0.0.0.0 192.0.2.53", "02:00:00:00:00:0A 02  [] 0.0.0.0 ",
                  "02:AB:CD:EF:00:11 23 " + std::string(45, '1') + " [] 0.0.0.0 " + std::string(45, '5')}));
    EXPECT_EQ(cendrix_get_interface_conf(std::string(16, 'n').c_str(), &conf), -1) << "no configuration";

    // The enumeration in a namespace of its own, in the kernel's order: lab0
    // once per address, lab1 (down), lab2 unknown to the service, lab3
    // without an address (skipped), lo0 a name that is not "lo" and no MAC.
    ASSERT_TRUE(lab->add_host("dev"));
    ASSERT_TRUE(lab->add_link("dev", "lab0", "02:00:00:00:00:01", {"192.0.2.10/24", "192.0.2.11/24"}));
    ASSERT_TRUE(lab->add_link("dev", "lab1", "02:00:00:00:00:0a", {"198.51.100.10/24"}, false));
    ASSERT_TRUE(lab->add_link("dev", "lab2", "02:00:00:00:00:02", {"192.0.2.30/24"}));
    ASSERT_TRUE(lab->add_link("dev", "lab3", "02:00:00:00:00:03", {}));
    ASSERT_TRUE(lab->add_link("dev", "lo0", "02:00:00:00:00:04", {"192.0.2.99/24"}));
    std::vector<std::string> walk;
    {
        auto inside = lab->enter("dev");
        ASSERT_TRUE(inside.ok());
        ASSERT_EQ(interface_conf_list_open(), 0);
        interface_conf *next = nullptr;
        for (int step = 0; step < 20; ++step) {
            const int result = interface_conf_list_next(&next);
            if (result == 0 && next == nullptr)
                break;
            walk.push_back(result != 0 ? "-1" : std::string(next->name) + " " + text_of(*next));
        }
        EXPECT_EQ(interface_conf_list_next(&next), 0) << "the end stays the end";
        EXPECT_EQ(next, nullptr);
        interface_conf_list_close();
    }
    EXPECT_EQ(walk,
              (std::vector<std::string>{"lab0 " + read[0], "lab0 " + read[0], "lab1 " + read[1], "-1",
                                        "lo0  13 " + std::string(45, '1') + " [] 0.0.0.0 " + std::string(45, '5')}));

    // A request for lab1: static addressing, address and netmask only; then
    // DHCP with a DNS server; mode 3 leaves the mode; a 46-character value
    // stores nothing at all.
    char address[] = "198.51.100.7", netmask[] = "255.255.255.0", dns[] = "198.51.100.53";
    std::string too_long(46, '9');
    interface_conf request{nullptr, nullptr, 3, 2, 0, address, netmask, nullptr, nullptr, nullptr, nullptr};
    ASSERT_EQ(cendrix_set_interface_conf("lab1", &request), 0);
    const auto stored = [&] { return json::parse(bus->read_store())["resources"]["26"][1]; };
    EXPECT_EQ(stored(), json::parse(R"({"id": 11, "mode": 1, "ipv4": "198.51.100.7", "netmask": "255.255.255.0",
                                        "gateway": "", "dns_servers": "", "wins": ""})"));
    request = {nullptr, nullptr, 3, 2, 2, nullptr, nullptr, nullptr, nullptr, dns, nullptr};
    ASSERT_EQ(cendrix_set_interface_conf("lab1", &request), 0);
    EXPECT_EQ(stored()["mode"].dump() + " " + stored()["dns_servers"].get<std::string>() + " " +
                  stored()["ipv4"].get<std::string>(),
              "0 198.51.100.53 198.51.100.7");
    request.ipv4_mode = 3;
    request.netmask = too_long.data();
    EXPECT_EQ(cendrix_set_interface_conf("lab1", &request), -1);
    EXPECT_EQ(stored()["mode"], 0);
    free_interface_conf(&conf);

    EXPECT_EQ(cendrix_close_session(), 0);
    EXPECT_EQ(cendrix_get_primary_interface_name(), nullptr);
}

TEST_F(CendrixSession, EachWaitGivesUpAfterAHundredAttemptsAndLeavesNoConnection)
{
    openlog("orvaned", LOG_PERROR, LOG_USER);
    cendrix_set_retry_sleep([](unsigned) {});
    const char *address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_NE(address, nullptr);
    const std::string bus_address = address;
    const auto before = lab::descriptors_of(getpid());
    // No bus at the address; then a bus without the service.
    for (const std::string phase : {"Dbus system bus", "Cendrix Dbus service"}) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS",
               phase == "Dbus system bus" ? ("unix:path=" + lab->dir() + "/absent").c_str() : bus_address.c_str(), 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(cendrix_open_session(), -1);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(lab::count_lines(log, "orvaned: Connection to " + phase + " failed, retrying"), 100) << phase;
        EXPECT_TRUE(log.ends_with("retrying\norvaned: Connection to " + phase + " failed\n")) << phase;
        EXPECT_EQ(lab::descriptors_of(getpid()), before) << phase;
    }
    cendrix_set_retry_sleep(nullptr);
    closelog();
}

class DaemonStartUp : public lab::DbusLabTest {
protected:
    // orvaned -f in the device namespace "dev" (link lab0), on the given bus.
    std::unique_ptr<lab::Process> start_daemon(const std::string &bus_address, std::vector<std::string> args = {},
                                               const std::string &notify_env = "")
    {
        if (lab->netns("dev").empty() &&
            (!lab->add_host("dev") || !lab->add_link("dev", "lab0", "02:00:00:00:00:01", {"192.0.2.10/24"})))
            return nullptr;
        const std::string tmp = lab->dir() + "/dev-tmp";
        mkdir(tmp.c_str(), 0700);
        args.insert(args.begin(), {daemon_path, "-f"});
        std::vector<std::string> env = {"DBUS_SYSTEM_BUS_ADDRESS=" + bus_address};
        if (!notify_env.empty())
            env.push_back(notify_env);
        return lab->start("dev", args, {.env = env, .tmp_dir = tmp, .stdin_data = {}});
    }
};

TEST_F(DaemonStartUp, WaitsForTheServiceThenBindsToItsPrimaryInterface)
{
    // Started as systemd starts it: its status says what it waits for, and it
    // is ready only once a LOOK is answered. A refused PUID does not stop it.
    lab::NotifySocket notify(lab->dir());
    auto daemon = start_daemon(bus->address(), {"-u", "too-short"}, notify.env());
    ASSERT_NE(daemon, nullptr);
    auto peer = lab::add_configurator(*lab);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(daemon->wait_for_line("Connection to Cendrix Dbus service failed, retrying", 5000))
        << daemon->stderr_text();
    EXPECT_TRUE(daemon->stderr_text().starts_with("orvaned: start\n")) << daemon->stderr_text();
    EXPECT_FALSE(daemon->wait_for_line("Trying to bind", 0));
    EXPECT_FALSE(notify.wait_for("READY=1", 0));
    EXPECT_TRUE(notify.wait_for("STATUS=Waiting for the configuration service", 0)) << notify.received();
    ASSERT_TRUE(bus->start_service());
    // The next probe, at most one 3-second wait later, finds it.
    ASSERT_TRUE(notify.wait_for("READY=1", 8000)) << daemon->stderr_text();
    EXPECT_TRUE(std::filesystem::exists(lab->dir() + "/dev-tmp/orvane_rpc_1.sock"));
    EXPECT_TRUE(daemon->wait_for_line("Trying to bind to lab0", 0));
    peer->drain();
    ASSERT_TRUE(peer->send(lab::take_message(ipconf_msg_build_look())));
    EXPECT_TRUE(peer->receive("INFO"_tlv, 2000)) << daemon->stderr_text();
    EXPECT_EQ(daemon->stop(), 0);
    EXPECT_TRUE(daemon->stderr_text().ends_with("orvaned: stop\n")) << daemon->stderr_text();
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
