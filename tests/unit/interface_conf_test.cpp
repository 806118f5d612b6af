#include "ipconf/interface_conf.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void expect_all_texts_empty(const interface_conf &conf)
{
    for (const char *text : {conf.name, conf.mac, conf.ipv4, conf.netmask, conf.gateway, conf.broadcast, conf.dns,
                             conf.wins}) {
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "");
    }
}

TEST(InterfaceConf, FreshResetAndFreedRecords)
{
    interface_conf conf;
    init_interface_conf(&conf);
    ASSERT_TRUE(interface_conf_has_buffers(&conf));
    expect_all_texts_empty(conf);
    EXPECT_EQ(conf.role, 3);
    EXPECT_EQ(conf.link_state, 2);
    EXPECT_EQ(conf.ipv4_mode, 3);

    // The buffers have the record's sizes: a full-length value fits each one
    // (the address checker reports a write past a buffer).
    std::memset(conf.name, 'n', 15);
    std::memset(conf.mac, 'm', 17);
    std::memset(conf.wins, 'w', 45);
    std::strcpy(conf.ipv4, "192.0.2.7");
    conf.role = 0;
    conf.link_state = 1;
    conf.ipv4_mode = 2;
    reset_interface_conf(&conf);
    expect_all_texts_empty(conf);
    EXPECT_EQ(conf.role, 3);
    EXPECT_EQ(conf.link_state, 2);
    EXPECT_EQ(conf.ipv4_mode, 3);

    free_interface_conf(&conf);
    EXPECT_FALSE(interface_conf_has_buffers(&conf));
    // A record without buffers is never written to.
    reset_interface_conf(&conf);
    interface_conf view{};
    EXPECT_EQ(copy_interface_conf(&conf, &view), -1);
    EXPECT_EQ(conf.name, nullptr);
}

TEST(InterfaceConf, CopyingAViewKeepsUnsetTextsAndTruncates)
{
    char mac[] = "02:00:00:00:00:01";
    char ipv4[] = "198.51.100.20";
    interface_conf view{};
    view.mac = mac;
    view.ipv4 = ipv4;
    view.role = 0;
    view.link_state = 1;
    view.ipv4_mode = 0;

    interface_conf conf;
    init_interface_conf(&conf);
    std::strcpy(conf.gateway, "198.51.100.1");  // a null text leaves this alone
    ASSERT_EQ(copy_interface_conf(&conf, &view), 0);
    EXPECT_STREQ(conf.mac, mac);
    EXPECT_STREQ(conf.ipv4, ipv4);
    EXPECT_STREQ(conf.gateway, "198.51.100.1");
    EXPECT_STREQ(conf.name, "");
    EXPECT_STREQ(conf.dns, "");
    EXPECT_EQ(conf.role, 0);
    EXPECT_EQ(conf.link_state, 1);
    EXPECT_EQ(conf.ipv4_mode, 0);

    // Too long for the buffer: the first size-1 characters and a NUL.
    std::string long_address(46, 'a');
    std::string long_name = "abcdefghijklmnopqrst";
    interface_conf big{};
    big.dns = long_address.data();
    big.name = long_name.data();
    big.role = 3;
    big.link_state = 2;
    big.ipv4_mode = 3;
    ASSERT_EQ(copy_interface_conf(&conf, &big), 0);
    EXPECT_EQ(std::string(conf.dns), std::string(45, 'a'));
    EXPECT_EQ(std::string(conf.name), "abcdefghijklmno");
    EXPECT_STREQ(conf.mac, mac);
    EXPECT_EQ(conf.link_state, 2);
    free_interface_conf(&conf);
}

TEST(InterfaceConf, ListOfOwnedCopies)
{
    list *confs = list_new();
    interface_conf_remove_all(confs);
    EXPECT_EQ(confs->count, 0u);

    char names[3][8] = {"eth0", "eth1", "wlan0"};
    for (char *name : names) {
        interface_conf view{};
        view.name = name;
        view.role = 3;
        view.link_state = 1;
        view.ipv4_mode = 3;
        interface_conf *added = interface_conf_add(confs, &view);
        ASSERT_NE(added, nullptr);
        EXPECT_NE(added->name, name);  // a copy, not the caller's text
        EXPECT_STREQ(added->name, name);
        EXPECT_STREQ(added->ipv4, "");
    }
    std::strcpy(names[0], "gone");
    EXPECT_EQ(confs->count, 3u);
    EXPECT_STREQ(static_cast<interface_conf *>(confs->first->element)->name, "eth0");
    EXPECT_STREQ(static_cast<interface_conf *>(confs->last->element)->name, "wlan0");

    // All three records and their buffers go (the leak checker counts them).
    interface_conf_remove_all(confs);
    EXPECT_EQ(confs->count, 0u);
    EXPECT_EQ(confs->first, nullptr);
    interface_conf view{};
    view.name = names[1];
    ASSERT_NE(interface_conf_add(confs, &view), nullptr);
    EXPECT_EQ(confs->count, 1u);
    interface_conf_remove_all(confs);
    EXPECT_EQ(list_free(confs), 0);

    interface_conf orphan{};
    EXPECT_EQ(interface_conf_add(nullptr, &orphan), nullptr);  // record released again
}

}  // namespace
