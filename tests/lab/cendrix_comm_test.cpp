// The configuration service and the daemon's bridge to it on a real private
// bus. cendrixd refuses broken stores and ill-typed writes, never leaves an
// unreadable store when killed while writing, and holds writes back from
// readers with --apply-delay. Every cendrix_comm operation round-trips
// into the store and maps the service's values (and texts at their buffers'
// limits) into the daemon's records, also for the interfaces the kernel
// lists; its start-up waits give up after a hundred attempts each. A write
// is announced to the session by the time its writer has the answer, or is
// told with SIGHUP that it shows; a service that declares no announcements
// is known as one, also when it replaces another or the session reconnects.

#include "ipconf/interface_conf.hpp"
#include "lib/cendrix/cendrix.hpp"
#include "platform/cendrix_comm.hpp"
#include "platform/net_conf.hpp"
#include "platform/product_info.hpp"
#include "support/dbus_lab.hpp"
#include "support/ipconf_device.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <poll.h>
#include <sys/wait.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using nlohmann::json;

class Cendrix : public lab::DbusLabTest {
protected:
    void TearDown() override
    {
        interface_conf_list_close();
        (void)cendrix_close_session();
        lab::DbusLabTest::TearDown();
    }
};

// The host name the service gives readers, through the open session.
std::string hostname()
{
    char buffers[6][64] = {};
    product_info record{nullptr, 0, buffers[0], buffers[1], buffers[2], buffers[3], buffers[4], buffers[5]};
    return cendrix_get_product_info(&record) == 0 ? record.host_name : "<unreadable>";
}

TEST_F(Cendrix, MissingOrMalformedStoresAreRefusedInOneLineAndLeftUntouched)
{
    const std::string store = bus->store_path();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"configurations": {"17": {"hostname": "x"}})", "not JSON"},
        {R"([1, 2])", "not a JSON object"},
        {R"({"configurations": {"17": {"n": 4294967296}}})", "not a text, a number from 0 to 4294967295"},
        {R"({"resources": {"6": [{"id": 1}, {"id": 1}]}})", "\"id\" 1 used twice"},
        {"", "cannot read: No such file or directory"}, // no store at all
    };
    for (const auto &[text, fault] : cases) {
        if (text.empty())
            unlink(store.c_str());
        else
            ASSERT_TRUE(bus->write_store(text));
        // Refused before it reaches the bus.
        auto p = lab::spawn({ORV_BUILD_DIR "/services/cendrixd/cendrixd", "--store", store}, lab->dir() + "/refused");
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->wait(5000), 78) << text;
        const std::string err = p->stderr_text();
        EXPECT_TRUE(err.starts_with("cendrixd: store " + store + ": ") && err.find(fault) != std::string::npos &&
                    std::count(err.begin(), err.end(), '\n') == 1)
            << err;
        EXPECT_EQ(bus->read_store(), text);
        EXPECT_EQ(access(store.c_str(), F_OK) == 0, !text.empty());
    }
}

// Writes the host name through a connection of its own, as another process would.
bool write_hostname_elsewhere(const std::string &name)
{
    cendrix_context writer{};
    if (cendrix_init(&writer) != 0)
        return false;
    cendrix_set_property_string(&writer, "hostname", name.c_str());
    const bool written = cendrix_set_config(&writer, 17) == 0;
    cendrix_close(&writer);
    return written;
}

// Whether the session's bus descriptor is readable now.
bool bus_readable()
{
    pollfd bus_fd{cendrix_changes_fd(), POLLIN, 0};
    return poll(&bus_fd, 1, 0) == 1;
}

TEST_F(Cendrix, IllTypedWritesChangeNothingAndGoodOnesAreStoredAtOnceButShownAndAnnouncedLater)
{
    constexpr auto apply_delay = std::chrono::seconds(2);
    ASSERT_TRUE(bus->start_service({"--apply-delay", std::to_string(apply_delay.count()), "--notify-writer"}));
    ASSERT_EQ(cendrix_open_session(), 0);
    EXPECT_TRUE(cendrix_changes_announced());
    EXPECT_EQ(cendrix_take_changes(), 1) << "opened";
    // Another type, a changed id, an unknown configuration or resource.
    const std::string before = bus->read_store();
    cendrix_context raw{};
    ASSERT_EQ(cendrix_init(&raw), 0);
    cendrix_set_property_uint32(&raw, "hostname", 5);
    EXPECT_EQ(cendrix_set_config(&raw, 17), -1);
    cendrix_reset(&raw);
    cendrix_set_property_uint32(&raw, "id", 11);
    EXPECT_EQ(cendrix_set_resource(&raw, 26, 10), -1);
    EXPECT_EQ(cendrix_set_config(&raw, 99), -1);
    EXPECT_EQ(cendrix_set_resource(&raw, 26, 99), -1);
    cendrix_close(&raw);
    EXPECT_EQ(bus->read_store(), before);
    EXPECT_EQ(cendrix_take_changes(), 0) << "refused writes";

    // Held back from readers, and unannounced, until it shows; then the
    // writer, told with SIGHUP, finds the announcement already there.
    sigset_t hangup, mask;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &hangup, &mask), 0);
    const auto written = std::chrono::steady_clock::now();
    ASSERT_EQ(cendrix_set_hostname("later"), 0);
    EXPECT_EQ(json::parse(bus->read_store())["configurations"]["17"]["hostname"], "later");
    EXPECT_EQ(hostname(), "device-1");
    EXPECT_EQ(cendrix_take_changes(), 0) << "announced when stored";
    const timespec patience{10, 0};
    EXPECT_EQ(sigtimedwait(&hangup, nullptr, &patience), SIGHUP);
    EXPECT_GE(std::chrono::steady_clock::now() - written, apply_delay);
    EXPECT_EQ(cendrix_take_changes(), 1);
    EXPECT_EQ(hostname(), "later");
    sigprocmask(SIG_SETMASK, &mask, nullptr);
}

TEST_F(Cendrix, KillNineDuringWritesLeavesAStoreTheNextStartServes)
{
    constexpr int rounds = 12;
    int written_rounds = 0;
    std::string last = "device-1";
    for (int round = 0; round < rounds; ++round) {
        // Each round starts from the store the last one's SIGKILL left.
        ASSERT_TRUE(bus->start_service()) << "round " << round;
        ASSERT_EQ(cendrix_open_session(), 0);
        EXPECT_EQ(hostname(), last) << "round " << round;
        (void)cendrix_close_session();
        const pid_t writer = fork();
        if (writer == 0) {
            if (cendrix_open_session() != 0)
                _exit(2);
            for (int write = 0; write < 5000; ++write) {
                const std::string name = "name-" + std::to_string(round) + "-" + std::to_string(write);
                if (cendrix_set_hostname(name.c_str()) != 0)
                    break;
            }
            _exit(0);
        }
        ASSERT_GT(writer, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(40 + 23 * round));
        EXPECT_EQ(bus->stop_service(SIGKILL), 128 + SIGKILL);
        kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);

        const json store = json::parse(bus->read_store(), nullptr, false);
        ASSERT_FALSE(store.is_discarded()) << "round " << round << ":\n" << bus->read_store();
        const std::string name = store["configurations"]["17"]["hostname"];
        EXPECT_TRUE(name == last || name.starts_with("name-" + std::to_string(round) + "-")) << name;
        written_rounds += name != last;
        last = name;
        EXPECT_EQ(store["resources"]["26"].size(), 2u);
    }
    // The kills did land in the middle of writing.
    EXPECT_GT(written_rounds, rounds / 2);
}

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

TEST_F(Cendrix, EveryOperationRoundTripsThroughTheStore)
{
    ASSERT_TRUE(bus->write_store(edge_store().dump()));
    ASSERT_TRUE(bus->start_service());
    ASSERT_EQ(cendrix_open_session(), 0);
    EXPECT_EQ(cendrix_take_changes(), 1) << "opened";

    // Host name out, persisted before the call returns (63 characters fit,
    // 64 do not); product identity back.
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

    // A write is announced before its answer: to the writer's own session,
    // which holds the announcement while it waits for the answer, and to
    // another connection's, whose descriptor is readable by then (each time:
    // an announcement sent just after the answer would often be there too).
    EXPECT_EQ(cendrix_take_changes(), 1) << "written";
    EXPECT_EQ(cendrix_take_changes(), 0) << "read only";
    for (int write = 0; write < 100; ++write) {
        ASSERT_TRUE(write_hostname_elsewhere("device-" + std::to_string(write)));
        ASSERT_TRUE(bus_readable()) << "write " << write;
        ASSERT_EQ(cendrix_take_changes(), 1) << "write " << write;
    }

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

    // The enumeration in a namespace of its own, over the kernel's list (whose
    // entries net_test checks): "lo" is skipped, lab2 is unknown to the
    // service, lo0 is a name that is not "lo" and has no MAC there.
    ASSERT_TRUE(lab->add_host("dev"));
    ASSERT_TRUE(lab->add_link("dev", "lab0", "02:00:00:00:00:01", {"192.0.2.10/24"}));
    ASSERT_TRUE(lab->add_link("dev", "lab2", "02:00:00:00:00:02", {"192.0.2.30/24"}));
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
              (std::vector<std::string>{"lab0 " + read[0], "-1",
                                        "lo0  13 " + std::string(45, '1') + " [] 0.0.0.0 " + std::string(45, '5')}));

    // A request for lab1, merged into what is stored: static addressing,
    // address and netmask only; then DHCP with a DNS server; mode 3 leaves
    // the mode; a 46-character value stores nothing at all.
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

TEST_F(Cendrix, EachServiceIsAskedWhetherItAnnouncesAndEachConnectionSubscribed)
{
    // A service that declares no announcements, serving another host name.
    const std::string sample = bus->read_store();
    std::string elsewhere = sample;
    elsewhere.replace(elsewhere.find("device-1"), 8, "elsewhere");
    ASSERT_TRUE(bus->write_store(elsewhere) && bus->start_service({"--no-change-signal"}));
    ASSERT_EQ(cendrix_open_session(), 0);
    EXPECT_EQ(hostname(), "elsewhere");
    EXPECT_FALSE(cendrix_changes_announced());
    EXPECT_EQ(cendrix_take_changes(), 1) << "opened";

    // Replaced while the session was idle: the new service is asked.
    ASSERT_EQ(bus->stop_service(SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(bus->write_store(sample) && bus->start_service());
    EXPECT_EQ(cendrix_take_changes(), 1) << "replaced";
    EXPECT_TRUE(cendrix_changes_announced());
    EXPECT_EQ(hostname(), "device-1");

    // Gone when called: the session is lost; restored on a new connection,
    // which is subscribed as the first was.
    EXPECT_EQ(bus->stop_service(), 0);
    EXPECT_EQ(hostname(), "<unreadable>");
    EXPECT_FALSE(cendrix_changes_announced());
    EXPECT_EQ(cendrix_changes_fd(), -1);
    EXPECT_EQ(cendrix_take_changes(), -1);
    ASSERT_TRUE(bus->start_service());
    std::this_thread::sleep_for(std::chrono::milliseconds(1100)); // the reconnection interval
    EXPECT_EQ(cendrix_take_changes(), 1) << "restored";
    EXPECT_TRUE(cendrix_changes_announced());
    ASSERT_TRUE(write_hostname_elsewhere("device-2"));
    EXPECT_EQ(cendrix_take_changes(), 1);
}

TEST_F(Cendrix, EachWaitGivesUpAfterAHundredAttemptsAndLeavesNoConnection)
{
    openlog("orvaned", LOG_PERROR, LOG_USER);
    cendrix_set_retry_sleep([](unsigned) {});
    const auto before = lab::descriptors_of(getpid());
    // No bus at the address; then a bus without the service.
    for (const std::string phase : {"Dbus system bus", "Cendrix Dbus service"}) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS",
               phase == "Dbus system bus" ? ("unix:path=" + lab->dir() + "/absent").c_str() : bus->address().c_str(),
               1);
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

} // namespace
