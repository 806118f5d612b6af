// The interface enumeration in a device namespace of its own, against the real
// configuration service: which of the kernel's interfaces are reported and
// with what, and requested configurations applied by MAC address.

#include "ipconf/interface_conf.hpp"
#include "platform/cendrix_comm.hpp"
#include "platform/net_conf.hpp"
#include "support/dbus_lab.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace {

using nlohmann::json;

class InterfaceEnumeration : public lab::DbusLabTest {
protected:
    void TearDown() override
    {
        interface_conf_list_close();
        (void)cendrix_close_session();
        lab::DbusLabTest::TearDown();
    }
};

TEST_F(InterfaceEnumeration, ListsTheNamespacesAddressedInterfacesExceptLoAsTheServiceDescribesThem)
{
    // lab0 twice (two addresses), lab1 known by a lower-case MAC, lab2 unknown
    // to the service, lab3 without an address, lo0 a name that is not "lo".
    ASSERT_TRUE(lab->add_host("dev"));
    ASSERT_TRUE(lab->add_link("dev", "lab0", "02:00:00:00:00:01", {"192.0.2.10/24", "192.0.2.11/24"}));
    ASSERT_TRUE(lab->add_link("dev", "lab1", "02:00:00:00:00:0a", {"198.51.100.10/24"}, false));
    ASSERT_TRUE(lab->add_link("dev", "lab2", "02:00:00:00:00:02", {"192.0.2.30/24"}));
    ASSERT_TRUE(lab->add_link("dev", "lab3", "02:00:00:00:00:03", {}));
    ASSERT_TRUE(lab->add_link("dev", "lo0", "02:00:00:00:00:04", {"192.0.2.99/24"}));
    std::string store = lab::sample_store();
    store.replace(store.find("\"26\": ["), 7,
                  "\"26\": [{\"id\": 12, \"mode\": 5, \"ipv4\": \"192.0.2.99\"},");
    store.replace(store.find("\"6\": ["), 6,
                  "\"6\": [{\"id\": 9, \"name\": \"lo0\", \"link_up\": true, \"ip_config_id\": 12},");
    ASSERT_TRUE(bus->write_store(store));
    ASSERT_TRUE(bus->start_service());
    ASSERT_EQ(cendrix_open_session(), 0);

    std::vector<std::string> walk;
    {
        auto inside = lab->enter("dev");
        ASSERT_TRUE(inside.ok());
        ASSERT_EQ(interface_conf_list_open(), 0);
        for (int step = 0; step < 20; ++step) {
            interface_conf *conf = nullptr;
            const int result = interface_conf_list_next(&conf);
            if (result != 0) {
                EXPECT_EQ(conf, nullptr);
                walk.push_back("-1");
                continue;
            }
            if (conf == nullptr)
                break;
            walk.push_back(std::string(conf->name) + " " + conf->mac + " " + std::to_string(conf->link_state) +
                           " " + std::to_string(conf->ipv4_mode) + " " + conf->ipv4 + " " + conf->dns + " " +
                           conf->broadcast);
        }
        // The end stays the end.
        interface_conf *conf = nullptr;
        EXPECT_EQ(interface_conf_list_next(&conf), 0);
        EXPECT_EQ(conf, nullptr);
        interface_conf_list_close();
    }
    // In the kernel's order: lab0 once per address, lab1, lab2 unknown, lo0.
    const std::vector<std::string> expected = {
        "lab0 02:00:00:00:00:01 1 0 192.0.2.10 192.0.2.53 0.0.0.0",
        "lab0 02:00:00:00:00:01 1 0 192.0.2.10 192.0.2.53 0.0.0.0",
        "lab1 02:00:00:00:00:0A 0 2   0.0.0.0",
        "-1",
        "lo0  1 3 192.0.2.99  0.0.0.0",
    };
    EXPECT_EQ(walk, expected);
}

TEST_F(InterfaceEnumeration, RequestedConfigurationIsAppliedThroughTheMacAddress)
{
    ASSERT_TRUE(bus->start_service());
    ASSERT_EQ(cendrix_open_session(), 0);
    const std::string untouched = bus->read_store();

    // Refused before anything is stored: a 16-character MAC, an unknown MAC,
    // an address with the dynamic method.
    char short_mac[] = "02:00:00:00:00:0", unknown_mac[] = "02:00:00:00:00:77", mac[] = "02:00:00:00:00:0A";
    char address[] = "198.51.100.10", netmask[] = "255.255.255.0";
    interface_conf request{nullptr, short_mac, 3, 2, 0, address, netmask, nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(interface_conf_set(&request), -1);
    request.mac = unknown_mac;
    EXPECT_EQ(interface_conf_set(&request), -1);
    request.mac = mac;
    request.ipv4_mode = 2;
    EXPECT_EQ(interface_conf_set(&request), -1);
    request.ipv4 = nullptr;
    request.netmask = netmask;
    EXPECT_EQ(interface_conf_set(&request), -1);
    EXPECT_EQ(bus->read_store(), untouched);

    // Static addressing for lab1, whose MAC the service holds in lower case.
    request = {nullptr, mac, 3, 2, 0, address, netmask, nullptr, nullptr, nullptr, nullptr};
    ASSERT_EQ(interface_conf_set(&request), 0);
    json lab1 = json::parse(bus->read_store())["resources"]["26"][1];
    EXPECT_EQ(lab1["mode"], 1);
    EXPECT_EQ(lab1["ipv4"], "198.51.100.10");
    EXPECT_EQ(lab1["netmask"], "255.255.255.0");

    // Back to the dynamic method: the addresses stay as they were.
    request = {nullptr, mac, 3, 2, 2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    ASSERT_EQ(interface_conf_set(&request), 0);
    lab1 = json::parse(bus->read_store())["resources"]["26"][1];
    EXPECT_EQ(lab1["mode"], 0);
    EXPECT_EQ(lab1["ipv4"], "198.51.100.10");
}

} // namespace
