// The daemon's bridge to the configuration service, run against the fake
// client library: the two retry phases and their log lines, and how each
// operation turns the service's properties into the daemon's records.
#include "cendrix_fake.hpp"
#include "ipconf/interface_conf.hpp"
#include "platform/cendrix_comm.hpp"
#include "util/sha1.hpp"
#include "platform/product_info.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <syslog.h>

namespace {

using cendrix_fake::calls_of;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using text = std::string;
auto &service = cendrix_fake::state;

std::vector<unsigned> sleeps;
size_t stop_at_sleep = 0;  // the sleep that "receives" SIGTERM, or 0

void fake_sleep(unsigned seconds)
{
    sleeps.push_back(seconds);
    if (sleeps.size() == stop_at_sleep)
        run = 0;
}

class CendrixComm : public ::testing::Test {
protected:
    void SetUp() override
    {
        openlog("orvaned", LOG_PERROR, LOG_USER);
        service = {};
        service.configurations = {{17, {}}, {18, {{"product_name", text("Sensor Hub")}}}, {6, {{"primary_interface_id", 1u}}}};
        service.resources[0] = {{{"login", text("admin")}, {"password_sha1", text("00112233445566778899aabbccddeeff0a1b2c3d")}},
                                {{"login", text("ADMIN")}, {"password_sha1", text("00112233445566778899AABBCCDDEEFF0A1B2C3D")}},
                                {{"login", text("odd")}, {"password_sha1", text(40, 'g')}},
                                {{"login", text("short")}, {"password_sha1", text("0011")}}};
        service.resources[6] = {
            {{"id", 1u}, {"name", text("eth0")}, {"mac", text("02:00:00:00:00:01")}, {"link_up", true}, {"ip_config_id", 10u}},
            {{"id", 2u}, {"name", text("eth1")}, {"mac", text("02:aa:bb:cc:dd:ee")}, {"link_up", false}, {"ip_config_id", 11u}},
            {{"id", 3u}, {"name", text("eth2")}, {"mac", text("02:AB:CD:EF:00:11")}, {"link_up", 7u}, {"ip_config_id", 12u}},
            {{"id", 4u}, {"name", text("eth3")}, {"link_up", true}, {"ip_config_id", 0u}}};
        service.resources[26] = {{{"id", 10u}, {"mode", 1u}, {"ipv4", text("192.0.2.10")}, {"netmask", text("255.255.255.0")},
                                  {"dns_servers", text("192.0.2.53,192.0.2.54")}},
                                 {{"id", 11u}, {"mode", 0u}, {"gateway", text("")}},
                                 {{"id", 12u}, {"mode", 5u}, {"ipv4", text(45, '1')}}};
        sleeps.clear();
        stop_at_sleep = 0;
        run = 1;
        cendrix_set_retry_sleep(fake_sleep);
    }
    void TearDown() override
    {
        (void)cendrix_close_session();
        cendrix_set_retry_sleep(nullptr);
        run = 1;
        closelog();
    }
    void open_quietly()
    {
        ASSERT_EQ(cendrix_open_session(), 0);
        service.calls.clear();
    }
};

text repeated(const text &line, int times)
{
    text out;
    while (times-- > 0)
        out += line;
    return out;
}

const text bus_retry = "orvaned: Connection to Dbus system bus failed, retrying\n";
const text service_retry = "orvaned: Connection to Cendrix Dbus service failed, retrying\n";

TEST_F(CendrixComm, SessionRetriesTheBusThenTheServiceUntilAHundredAttemptsOrAStop)
{
    service.init_failures = 2;
    service.get_config_failures = 4;
    CaptureStderr();
    EXPECT_EQ(cendrix_open_session(), 0);
    EXPECT_EQ(GetCapturedStderr(), repeated(bus_retry, 2) + repeated(service_retry, 4));
    EXPECT_EQ(sleeps, std::vector<unsigned>(6, 3));
    EXPECT_EQ(calls_of("get_config"), std::vector<text>(5, "get_config 17"));  // the probe
    EXPECT_EQ(cendrix_open_session(), -1);
    EXPECT_EQ(cendrix_close_session(), 0);
    EXPECT_EQ(cendrix_close_session(), -1);

    service.get_config_failures = 100;
    service.close_calls = 0;
    CaptureStderr();
    EXPECT_EQ(cendrix_open_session(), -1);
    EXPECT_EQ(GetCapturedStderr(), repeated(service_retry, 100) + "orvaned: Connection to Cendrix Dbus service failed\n");
    EXPECT_EQ(sleeps.size(), 106u);
    EXPECT_EQ(service.close_calls, 1);  // the bus connection of the probe is not left behind

    // SIGTERM during the second wait: no third probe.
    service.get_config_failures = 50;
    stop_at_sleep = sleeps.size() + 2;
    CaptureStderr();
    EXPECT_EQ(cendrix_open_session(), -1);
    EXPECT_EQ(GetCapturedStderr(), repeated(service_retry, 2));
    EXPECT_EQ(calls_of("get_config").size(), 5u + 100u + 2u);
}

TEST_F(CendrixComm, PasswordHashDigitsOfEitherCaseGiveTheSameBytes)
{
    open_quietly();
    const uint8_t expected[SHA1_DIGEST_SIZE] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99,
                                                  0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x0a, 0x1b, 0x2c, 0x3d};
    uint8_t hash[SHA1_DIGEST_SIZE];
    for (const char *login : {"admin", "ADMIN"}) {
        std::memset(hash, 0, sizeof hash);
        ASSERT_EQ(cendrix_get_password_sha1(login, hash), 0) << login;
        EXPECT_EQ(std::memcmp(hash, expected, sizeof hash), 0) << login;
    }
    EXPECT_EQ(calls_of("find"), (std::vector<text>{"find 0 login=admin", "find 0 login=ADMIN"}));
    // Unknown logins and values that are not 40 hex digits leave the buffer alone.
    std::memset(hash, 0x5a, sizeof hash);
    for (const char *login : {"nobody", "short", "odd"})
        EXPECT_EQ(cendrix_get_password_sha1(login, hash), -1) << login;
    EXPECT_EQ(hash[0], 0x5a);
}

TEST_F(CendrixComm, InterfaceNameIsFoundByTheMacAsGivenThenLowerThenUpperCase)
{
    open_quietly();
    const std::tuple<const char *, const char *, size_t> cases[] = {
        {"02:00:00:00:00:01", "eth0", 1},  // held as asked
        {"02:AA:BB:CC:DD:EE", "eth1", 2},  // held in lower case
        {"02:ab:CD:ef:00:11", "eth2", 3},  // held in upper case
        {"02:00:00:00:00:99", "", 3},     // nowhere
        {"02:00:00:00:00:1", "", 0},      // other lengths are refused before asking
        {"02:00:00:00:00:011", "", 0},
    };
    for (const auto &[mac, expected, lookups] : cases) {
        service.calls.clear();
        char name[16] = "";
        EXPECT_EQ(cendrix_get_interface_name(mac, name), *expected ? 0 : -1) << mac;
        EXPECT_STREQ(name, expected);
        EXPECT_EQ(calls_of("find").size(), lookups) << mac;
    }
}

TEST_F(CendrixComm, TextsLongerThanTheirBuffersFailTheOperation)
{
    open_quietly();
    EXPECT_EQ(cendrix_set_hostname(text(63, 'h').c_str()), 0);
    EXPECT_EQ(cendrix_set_hostname(text(64, 'h').c_str()), -1);
    EXPECT_EQ(calls_of("set_config"), std::vector<text>{"set_config 17 hostname=" + text(63, 'h')});

    char buffers[7][64] = {"", "", "stale"};
    product_info record{buffers[0], 0, buffers[1], buffers[2], buffers[3], buffers[4], buffers[5], buffers[6]};
    service.configurations[18]["hardware_revision"] = text(31, 'r');
    ASSERT_EQ(cendrix_get_product_info(&record), 0);
    EXPECT_STREQ(record.host_name, text(63, 'h').c_str());
    EXPECT_STREQ(record.product_name, "Sensor Hub");
    EXPECT_STREQ(record.product_id, "");  // an absent text is the empty text
    service.configurations[18]["hardware_revision"] = text(32, 'r');  // 32 characters, 32-byte field
    EXPECT_EQ(cendrix_get_product_info(&record), -1);

    // Interface names: 15 characters fit, 16 do not; the primary is found by its id.
    service.resources[6][0]["name"] = text(15, 'n');
    char *primary = cendrix_get_primary_interface_name();
    EXPECT_STREQ(primary, text(15, 'n').c_str());
    std::free(primary);
    EXPECT_EQ(calls_of("find"), std::vector<text>{"find 6 id=1"});
    service.resources[6][0]["name"] = text(16, 'n');
    char name[16];
    EXPECT_EQ(cendrix_get_primary_interface_name(), nullptr);
    EXPECT_EQ(cendrix_get_interface_name("02:00:00:00:00:01", name), -1);
}

struct conf_buffers {
    char mac[18] = {}, ipv4[46] = {}, netmask[46] = {}, gateway[46] = "stale", broadcast[46] = {}, dns[46] = {}, wins[46] = {};
    interface_conf conf{nullptr, mac, 3, 2, 3, ipv4, netmask, gateway, broadcast, dns, wins};
};

TEST_F(CendrixComm, InterfaceConfigurationValuesAreMapped)
{
    open_quietly();
    conf_buffers eth0, eth1, eth2;
    ASSERT_EQ(cendrix_get_interface_conf("eth0", &eth0.conf), 0);
    ASSERT_EQ(cendrix_get_interface_conf("eth1", &eth1.conf), 0);
    ASSERT_EQ(cendrix_get_interface_conf("eth2", &eth2.conf), 0);
    EXPECT_EQ(eth0.conf.role, 0);
    // No gateway is the empty text, no broadcast 0.0.0.0; DNS is the first of two servers.
    EXPECT_EQ(text(eth0.mac) + " " + eth0.ipv4 + " [" + eth0.gateway + "] " + eth0.broadcast + " " + eth0.dns,
              "02:00:00:00:00:01 192.0.2.10 [] 0.0.0.0 192.0.2.53");
    EXPECT_STREQ(eth1.mac, "02:AA:BB:CC:DD:EE");  // upper-cased
    EXPECT_STREQ(eth2.ipv4, text(45, '1').c_str());
    // link_up true, false, 7; the service's mode 1, 0, 5.
    EXPECT_EQ(std::vector<int>({eth0.conf.link_state, eth1.conf.link_state, eth2.conf.link_state}), std::vector<int>({1, 0, 2}));
    EXPECT_EQ(std::vector<int>({eth0.conf.ipv4_mode, eth1.conf.ipv4_mode, eth2.conf.ipv4_mode}), std::vector<int>({0, 2, 3}));

    // A first DNS server that fits although the list does not; too long an
    // address or first server, no linked configuration: -1.
    auto &eth2_ipv4 = service.resources[26][2];
    eth2_ipv4["dns_servers"] = text(45, '5') + "," + text(50, '6');
    EXPECT_EQ(cendrix_get_interface_conf("eth2", &eth2.conf), 0);
    eth2_ipv4["dns_servers"] = text(46, '5') + ",1";
    EXPECT_EQ(cendrix_get_interface_conf("eth2", &eth2.conf), -1);
    eth2_ipv4 = {{"id", 12u}, {"ipv4", text(46, '1')}};
    EXPECT_EQ(cendrix_get_interface_conf("eth2", &eth2.conf), -1);
    EXPECT_EQ(cendrix_get_interface_conf("eth3", &eth2.conf), -1);
}

TEST_F(CendrixComm, RequestedConfigurationStoresOnlyThePresentFields)
{
    open_quietly();
    auto &stored = service.resources[26][0];
    auto mode = [&] { return std::get<uint32_t>(stored["mode"]); };
    char address[] = "192.0.2.77", dns[] = "198.51.100.53";
    text long_text(46, '9');
    // Not-set mode and only an address: the rest stays as the service holds it.
    interface_conf request{nullptr, nullptr, 3, 2, 3, address, nullptr, nullptr, nullptr, nullptr, nullptr};
    ASSERT_EQ(cendrix_set_interface_conf("eth0", &request), 0);
    EXPECT_EQ(std::get<text>(stored["ipv4"]) + " " + std::get<text>(stored["netmask"]), "192.0.2.77 255.255.255.0");
    EXPECT_EQ(mode(), 1u);
    request = {nullptr, nullptr, 3, 2, 2, nullptr, nullptr, nullptr, nullptr, dns, nullptr};
    ASSERT_EQ(cendrix_set_interface_conf("eth0", &request), 0);
    EXPECT_EQ(mode(), 0u);  // ipv4_mode 2 is the service's 0
    EXPECT_EQ(std::get<text>(stored["dns_servers"]), dns);
    request.ipv4_mode = 0;
    ASSERT_EQ(cendrix_set_interface_conf("eth0", &request), 0);
    EXPECT_EQ(mode(), 1u);  // and 0 its 1

    request.ipv4_mode = 2;
    request.netmask = long_text.data();  // a 46-character value stores nothing at all
    EXPECT_EQ(cendrix_set_interface_conf("eth0", &request), -1);
    EXPECT_EQ(calls_of("set_resource").size(), 3u);
}

}  // namespace
