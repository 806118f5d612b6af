// The interface enumeration in a device namespace of its own, against the real
// configuration service: which of the kernel's interfaces are reported and
// with what. (Requests applied by MAC address are seen end to end in the
// daemon's configuration tests.)

#include "ipconf/interface_conf.hpp"
#include "platform/cendrix_comm.hpp"
#include "platform/net_conf.hpp"
#include "support/dbus_lab.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

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

} // namespace
