// The daemon's bridge to the configuration service, run against the fake
// client library: the two retry phases and their log lines, and how each
// operation turns the service's properties into the daemon's records.

#include "cendrix_fake.hpp"
#include "ipconf/interface_conf.hpp"
#include "platform/cendrix_comm.hpp"
#include "platform/product_info.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

using cendrix_fake::calls_of;
using cendrix_fake::property_map;

std::vector<unsigned> sleeps;
int stop_after_sleeps = -1; // the sleep that "receives" SIGTERM, or -1

void fake_sleep(unsigned seconds)
{
    sleeps.push_back(seconds);
    if (static_cast<int>(sleeps.size()) == stop_after_sleeps)
        run = 0;
}

void fill_service()
{
    auto &service = cendrix_fake::state();
    service.configurations[17] = {{"hostname", std::string("device-1")}};
    service.configurations[18] = {{"product_name", std::string("Sensor Hub")},
                                  {"product_id", std::string("SH-200")},
                                  {"hardware_id", std::string("HW-7")},
                                  {"hardware_revision", std::string("B")},
                                  {"software_version", std::string("1.4.2")}};
    service.configurations[6] = {{"primary_interface_id", 1u}};
    service.resources[0] = {{{"id", 1u},
                             {"login", std::string("admin")},
                             {"password_sha1", std::string("00112233445566778899aabbccddeeff0a1b2c3d")}},
                            {{"id", 2u},
                             {"login", std::string("ADMIN")},
                             {"password_sha1", std::string("00112233445566778899AABBCCDDEEFF0A1B2C3D")}}};
    service.resources[6] = {
        {{"id", 1u}, {"name", std::string("eth0")}, {"mac", std::string("02:00:00:00:00:01")},
         {"link_up", true}, {"ip_config_id", 10u}},
        {{"id", 2u}, {"name", std::string("eth1")}, {"mac", std::string("02:aa:bb:cc:dd:ee")},
         {"link_up", false}, {"ip_config_id", 11u}},
        {{"id", 3u}, {"mac", std::string("02:AB:CD:EF:00:11")}, {"link_up", 7u}, {"ip_config_id", 12u}},
        {{"id", 4u}, {"name", std::string("eth3")}, {"link_up", true}, {"ip_config_id", 0u}},
    };
    service.resources[26] = {
        {{"id", 10u}, {"mode", 1u}, {"ipv4", std::string("192.0.2.10")},
         {"netmask", std::string("255.255.255.0")}, {"gateway", std::string("192.0.2.1")},
         {"dns_servers", std::string("192.0.2.53,192.0.2.54")}, {"wins", std::string("")}},
        {{"id", 11u}, {"mode", 0u}},
        {{"id", 12u}, {"mode", 5u}, {"ipv4", std::string(46, '1')}},
    };
}

class CendrixComm : public ::testing::Test {
protected:
    void SetUp() override
    {
        openlog("orvaned", LOG_PERROR, LOG_USER);
        cendrix_fake::reset();
        fill_service();
        sleeps.clear();
        stop_after_sleeps = -1;
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
        cendrix_fake::state().calls.clear();
    }
};

std::string repeated(const std::string &line, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += line;
    return text;
}

const std::string bus_retry = "orvaned: Connection to Dbus system bus failed, retrying\n";
const std::string service_retry = "orvaned: Connection to Cendrix Dbus service failed, retrying\n";

TEST_F(CendrixComm, SessionRetriesTheBusThenTheServiceAndOpensOnce)
{
    cendrix_fake::state().init_failures = 2;
    cendrix_fake::state().get_config_failures = 4;
    testing::internal::CaptureStderr();
    EXPECT_EQ(cendrix_open_session(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), repeated(bus_retry, 2) + repeated(service_retry, 4));
    EXPECT_EQ(sleeps, std::vector<unsigned>(6, 3));
    // The probe is a read of the host name configuration.
    EXPECT_EQ(calls_of("get_config"), std::vector<std::string>(5, "get_config 17"));

    EXPECT_EQ(cendrix_open_session(), -1);
    EXPECT_EQ(cendrix_fake::state().init_calls, 3);
    EXPECT_EQ(cendrix_close_session(), 0);
    EXPECT_EQ(cendrix_fake::state().close_calls, 1);
    EXPECT_EQ(cendrix_close_session(), -1);
}

TEST_F(CendrixComm, EachPhaseGivesUpAfterAHundredAttempts)
{
    cendrix_fake::state().init_failures = 100;
    testing::internal::CaptureStderr();
    EXPECT_EQ(cendrix_open_session(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              repeated(bus_retry, 100) + "orvaned: Connection to Dbus system bus failed\n");
    EXPECT_EQ(sleeps.size(), 100u);

    sleeps.clear();
    cendrix_fake::reset();
    cendrix_fake::state().get_config_failures = 100;
    testing::internal::CaptureStderr();
    EXPECT_EQ(cendrix_open_session(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              repeated(service_retry, 100) + "orvaned: Connection to Cendrix Dbus service failed\n");
    EXPECT_EQ(sleeps.size(), 100u);
    // The bus connection made for the probe is not left behind.
    EXPECT_EQ(cendrix_fake::state().close_calls, 1);
    EXPECT_EQ(cendrix_close_session(), -1);
}

TEST_F(CendrixComm, StopSignalEndsTheRetriesSilently)
{
    run = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(cendrix_open_session(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(cendrix_fake::state().init_calls, 0);

    // SIGTERM during the second wait of the service phase: no third probe.
    run = 1;
    cendrix_fake::state().get_config_failures = 50;
    stop_after_sleeps = 2;
    testing::internal::CaptureStderr();
    EXPECT_EQ(cendrix_open_session(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), repeated(service_retry, 2));
    EXPECT_EQ(calls_of("get_config").size(), 2u);
}

TEST_F(CendrixComm, ClosedSessionRefusesEveryOperationWithoutCallingTheService)
{
    uint8_t hash[PASSWORD_HASH_SIZE];
    char name[16];
    char buffers[7][64] = {};
    product_info record{buffers[0], 0, buffers[1], buffers[2], buffers[3], buffers[4], buffers[5], buffers[6]};
    interface_conf conf{};
    EXPECT_EQ(cendrix_get_password_sha1("admin", hash), -1);
    EXPECT_EQ(cendrix_set_hostname("x"), -1);
    EXPECT_EQ(cendrix_get_product_info(&record), -1);
    EXPECT_EQ(cendrix_get_interface_name("02:00:00:00:00:01", name), -1);
    EXPECT_EQ(cendrix_get_interface_conf("eth0", &conf), -1);
    EXPECT_EQ(cendrix_set_interface_conf("eth0", &conf), -1);
    EXPECT_EQ(cendrix_get_primary_interface_name(), nullptr);
    EXPECT_TRUE(cendrix_fake::state().calls.empty());
}

TEST_F(CendrixComm, PasswordHashDigitsOfEitherCaseGiveTheSameBytes)
{
    open_quietly();
    const uint8_t expected[PASSWORD_HASH_SIZE] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99,
                                                  0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x0a, 0x1b, 0x2c, 0x3d};
    for (const char *login : {"admin", "ADMIN"}) {
        uint8_t hash[PASSWORD_HASH_SIZE] = {};
        ASSERT_EQ(cendrix_get_password_sha1(login, hash), 0) << login;
        EXPECT_EQ(std::memcmp(hash, expected, sizeof hash), 0) << login;
    }
    EXPECT_EQ(calls_of("find"), (std::vector<std::string>{"find 0 login=admin", "find 0 login=ADMIN"}));

    // Unknown login, and values that are not 40 hexadecimal digits, leave the
    // buffer alone.
    auto &accounts = cendrix_fake::state().resources[0];
    accounts.push_back({{"id", 3u}, {"login", std::string("short")}, {"password_sha1", std::string("0011")}});
    accounts.push_back({{"id", 4u}, {"login", std::string("odd")}, {"password_sha1", std::string(40, 'g')}});
    accounts.push_back({{"id", 5u}, {"login", std::string("none")}});
    uint8_t hash[PASSWORD_HASH_SIZE];
    std::memset(hash, 0x5a, sizeof hash);
    for (const char *login : {"nobody", "short", "odd", "none"})
        EXPECT_EQ(cendrix_get_password_sha1(login, hash), -1) << login;
    EXPECT_EQ(hash[0], 0x5a);
}

TEST_F(CendrixComm, InterfaceNameIsFoundByTheMacAsGivenThenLowerThenUpperCase)
{
    open_quietly();
    char name[16] = "unchanged";
    // Held exactly as asked: one lookup.
    EXPECT_EQ(cendrix_get_interface_name("02:00:00:00:00:01", name), 0);
    EXPECT_STREQ(name, "eth0");
    EXPECT_EQ(calls_of("find").size(), 1u);

    // Held in lower case, asked in upper case: found at the second lookup.
    cendrix_fake::state().calls.clear();
    EXPECT_EQ(cendrix_get_interface_name("02:AA:BB:CC:DD:EE", name), 0);
    EXPECT_STREQ(name, "eth1");
    EXPECT_EQ(calls_of("find"), (std::vector<std::string>{"find 6 mac=02:AA:BB:CC:DD:EE",
                                                          "find 6 mac=02:aa:bb:cc:dd:ee"}));

    // Held in upper case, asked in mixed case: the third lookup; this
    // resource has no name, which gives the empty name.
    cendrix_fake::state().calls.clear();
    EXPECT_EQ(cendrix_get_interface_name("02:ab:CD:ef:00:11", name), 0);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(calls_of("find").size(), 3u);
    EXPECT_EQ(calls_of("find").back(), "find 6 mac=02:AB:CD:EF:00:11");

    cendrix_fake::state().calls.clear();
    EXPECT_EQ(cendrix_get_interface_name("02:00:00:00:00:99", name), -1);
    EXPECT_EQ(calls_of("find").size(), 3u);
    // A MAC text of any other length is refused before asking.
    cendrix_fake::state().calls.clear();
    EXPECT_EQ(cendrix_get_interface_name("02:00:00:00:00:1", name), -1);
    EXPECT_EQ(cendrix_get_interface_name("02:00:00:00:00:011", name), -1);
    EXPECT_TRUE(cendrix_fake::state().calls.empty());
}

TEST_F(CendrixComm, TextsLongerThanTheirBuffersFailTheOperation)
{
    open_quietly();
    auto &service = cendrix_fake::state();

    EXPECT_EQ(cendrix_set_hostname(std::string(63, 'h').c_str()), 0);
    EXPECT_EQ(std::get<std::string>(service.configurations[17]["hostname"]), std::string(63, 'h'));
    EXPECT_EQ(cendrix_set_hostname(std::string(64, 'h').c_str()), -1);
    EXPECT_EQ(calls_of("set_config").size(), 1u);

    char buffers[7][64] = {};
    product_info record{buffers[0], 0, buffers[1], buffers[2], buffers[3], buffers[4], buffers[5], buffers[6]};
    service.configurations[18]["hardware_revision"] = std::string(31, 'r');
    ASSERT_EQ(cendrix_get_product_info(&record), 0);
    EXPECT_STREQ(record.host_name, std::string(63, 'h').c_str());
    EXPECT_STREQ(record.product_name, "Sensor Hub");
    EXPECT_STREQ(record.hardware_revision, std::string(31, 'r').c_str());
    EXPECT_STREQ(record.system_version, "1.4.2");
    // 32 characters for a 32-byte field: refused, the fields before it renewed.
    service.configurations[18]["product_name"] = std::string("Sensor Hub 2");
    service.configurations[18]["hardware_revision"] = std::string(32, 'r');
    EXPECT_EQ(cendrix_get_product_info(&record), -1);
    EXPECT_STREQ(record.product_name, "Sensor Hub 2");
    // An absent text is the empty text.
    service.configurations[18] = {{"product_name", std::string("P")}};
    ASSERT_EQ(cendrix_get_product_info(&record), 0);
    EXPECT_STREQ(record.product_id, "");
    EXPECT_STREQ(record.system_version, "");

    // Interface names: 15 characters fit, 16 do not.
    service.resources[6][0]["name"] = std::string(15, 'n');
    char *primary = cendrix_get_primary_interface_name();
    ASSERT_NE(primary, nullptr);
    EXPECT_STREQ(primary, std::string(15, 'n').c_str());
    std::free(primary);
    char name[16];
    EXPECT_EQ(cendrix_get_interface_name("02:00:00:00:00:01", name), 0);
    service.resources[6][0]["name"] = std::string(16, 'n');
    EXPECT_EQ(cendrix_get_primary_interface_name(), nullptr);
    EXPECT_EQ(cendrix_get_interface_name("02:00:00:00:00:01", name), -1);
}

struct conf_buffers {
    char mac[18] = {}, ipv4[46] = {}, netmask[46] = {}, gateway[46] = {}, broadcast[46] = {}, dns[46] = {},
         wins[46] = {};
    interface_conf conf{nullptr, mac, 3, 2, 3, ipv4, netmask, gateway, broadcast, dns, wins};
};

TEST_F(CendrixComm, InterfaceConfigurationValuesAreMappedToTheRecord)
{
    open_quietly();
    conf_buffers eth0;
    ASSERT_EQ(cendrix_get_interface_conf("eth0", &eth0.conf), 0);
    EXPECT_STREQ(eth0.mac, "02:00:00:00:00:01");
    EXPECT_EQ(eth0.conf.role, 0);
    EXPECT_EQ(eth0.conf.link_state, 1);
    EXPECT_EQ(eth0.conf.ipv4_mode, 0); // the service's mode 1
    EXPECT_STREQ(eth0.ipv4, "192.0.2.10");
    EXPECT_STREQ(eth0.netmask, "255.255.255.0");
    EXPECT_STREQ(eth0.gateway, "192.0.2.1");
    EXPECT_STREQ(eth0.broadcast, "0.0.0.0");
    EXPECT_STREQ(eth0.dns, "192.0.2.53"); // the first of two servers
    EXPECT_STREQ(eth0.wins, "");
    EXPECT_EQ(eth0.conf.name, nullptr);

    conf_buffers eth1;
    std::strcpy(eth1.gateway, "stale");
    ASSERT_EQ(cendrix_get_interface_conf("eth1", &eth1.conf), 0);
    EXPECT_STREQ(eth1.mac, "02:AA:BB:CC:DD:EE"); // upper-cased
    EXPECT_EQ(eth1.conf.link_state, 0);
    EXPECT_EQ(eth1.conf.ipv4_mode, 2); // the service's mode 0
    EXPECT_STREQ(eth1.gateway, "");
    EXPECT_STREQ(eth1.broadcast, "0.0.0.0");

    auto &service = cendrix_fake::state();
    // link_up 7 is neither state; mode 5 and an absent mode are not set.
    service.resources[26][2]["ipv4"] = std::string(45, '1');
    service.resources[6][2]["name"] = std::string("eth2");
    conf_buffers eth2;
    ASSERT_EQ(cendrix_get_interface_conf("eth2", &eth2.conf), 0);
    EXPECT_EQ(eth2.conf.link_state, 2);
    EXPECT_EQ(eth2.conf.ipv4_mode, 3);
    EXPECT_STREQ(eth2.ipv4, std::string(45, '1').c_str());
    service.resources[26][2].erase("mode");
    ASSERT_EQ(cendrix_get_interface_conf("eth2", &eth2.conf), 0);
    EXPECT_EQ(eth2.conf.ipv4_mode, 3);

    // Too long an address, a DNS server too long after the cut, a MAC of the
    // wrong length, ip_config_id 0, no link_up, unknown interface: -1.
    service.resources[26][2]["ipv4"] = std::string(46, '1');
    EXPECT_EQ(cendrix_get_interface_conf("eth2", &eth2.conf), -1);
    service.resources[26][2]["ipv4"] = std::string("192.0.2.12");
    service.resources[26][2]["dns_servers"] = std::string(45, '5') + "," + std::string(50, '6');
    EXPECT_EQ(cendrix_get_interface_conf("eth2", &eth2.conf), 0);
    service.resources[26][2]["dns_servers"] = std::string(46, '5') + ",1";
    EXPECT_EQ(cendrix_get_interface_conf("eth2", &eth2.conf), -1);
    service.resources[26][2].erase("dns_servers");
    service.resources[6][2]["mac"] = std::string("02:AB:CD:EF:00:1");
    EXPECT_EQ(cendrix_get_interface_conf("eth2", &eth2.conf), -1);
    service.resources[6][2].erase("mac");
    ASSERT_EQ(cendrix_get_interface_conf("eth2", &eth2.conf), 0);
    EXPECT_STREQ(eth2.mac, "");
    service.resources[6][2].erase("link_up");
    EXPECT_EQ(cendrix_get_interface_conf("eth2", &eth2.conf), -1);
    EXPECT_EQ(cendrix_get_interface_conf("eth3", &eth2.conf), -1);
    EXPECT_EQ(cendrix_get_interface_conf("eth9", &eth2.conf), -1);
}

TEST_F(CendrixComm, RequestedConfigurationSendsOnlyThePresentFields)
{
    open_quietly();
    auto &ipv4 = cendrix_fake::state().resources[26][0];

    // Not-set mode and only an address: the rest stays as the service holds it.
    char address[] = "192.0.2.77";
    interface_conf request{nullptr, nullptr, 3, 2, 3, address, nullptr, nullptr, nullptr, nullptr, nullptr};
    ASSERT_EQ(cendrix_set_interface_conf("eth0", &request), 0);
    EXPECT_EQ(std::get<std::string>(ipv4["ipv4"]), "192.0.2.77");
    EXPECT_EQ(std::get<uint32_t>(ipv4["mode"]), 1u);
    EXPECT_EQ(std::get<std::string>(ipv4["netmask"]), "255.255.255.0");
    EXPECT_EQ(calls_of("set_resource").back().rfind("set_resource 26 10", 0), 0u);

    // ipv4_mode 2 is the service's mode 0, and 0 its mode 1.
    char dns[] = "198.51.100.53";
    request = {nullptr, nullptr, 3, 2, 2, nullptr, nullptr, nullptr, nullptr, dns, nullptr};
    ASSERT_EQ(cendrix_set_interface_conf("eth0", &request), 0);
    EXPECT_EQ(std::get<uint32_t>(ipv4["mode"]), 0u);
    EXPECT_EQ(std::get<std::string>(ipv4["dns_servers"]), "198.51.100.53");
    request.ipv4_mode = 0;
    ASSERT_EQ(cendrix_set_interface_conf("eth0", &request), 0);
    EXPECT_EQ(std::get<uint32_t>(ipv4["mode"]), 1u);

    // A 46-character value stores nothing at all.
    std::string long_text(46, '9');
    request = {nullptr, nullptr, 3, 2, 2, address, long_text.data(), nullptr, nullptr, nullptr, nullptr};
    const size_t writes = calls_of("set_resource").size();
    EXPECT_EQ(cendrix_set_interface_conf("eth0", &request), -1);
    EXPECT_EQ(calls_of("set_resource").size(), writes);
    EXPECT_EQ(std::get<uint32_t>(ipv4["mode"]), 1u);

    // No linked configuration, or an unknown interface.
    request = {nullptr, nullptr, 3, 2, 0, address, nullptr, nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(cendrix_set_interface_conf("eth3", &request), -1);
    EXPECT_EQ(cendrix_set_interface_conf("eth9", &request), -1);
    EXPECT_EQ(calls_of("set_resource").size(), writes);
}

TEST_F(CendrixComm, PrimaryInterfaceIsNamedThroughItsId)
{
    open_quietly();
    char *primary = cendrix_get_primary_interface_name();
    ASSERT_NE(primary, nullptr);
    EXPECT_STREQ(primary, "eth0");
    std::free(primary);
    EXPECT_EQ(calls_of("find"), std::vector<std::string>{"find 6 id=1"});

    auto &service = cendrix_fake::state();
    service.configurations[6]["primary_interface_id"] = 3u; // a resource without a name
    EXPECT_EQ(cendrix_get_primary_interface_name(), nullptr);
    service.configurations[6]["primary_interface_id"] = 9u;
    EXPECT_EQ(cendrix_get_primary_interface_name(), nullptr);
    service.configurations[6]["primary_interface_id"] = std::string("1");
    EXPECT_EQ(cendrix_get_primary_interface_name(), nullptr);
    service.configurations.erase(6);
    EXPECT_EQ(cendrix_get_primary_interface_name(), nullptr);
}

} // namespace
