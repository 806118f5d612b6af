#include "ipconf/interface_conf.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(InterfaceConf, CopyKeepsUnsetTextsTruncatesAndResetEmpties)
{
    interface_conf conf;
    init_interface_conf(&conf);
    std::strcpy(conf.gateway, "198.51.100.1"); // a null text in the view leaves this alone
    std::string long_address(46, 'a'), long_name = "abcdefghijklmnopqrst";
    char mac[] = "02:00:00:00:00:01";
    interface_conf view{long_name.data(),    mac,    0, 1, 0, nullptr, nullptr, nullptr, nullptr,
                        long_address.data(), nullptr};
    ASSERT_EQ(copy_interface_conf(&conf, &view), 0);
    EXPECT_STREQ(conf.mac, mac);
    EXPECT_STREQ(conf.gateway, "198.51.100.1");
    EXPECT_EQ(std::string(conf.dns), std::string(45, 'a')); // size-1 characters and a NUL
    EXPECT_EQ(std::string(conf.name), "abcdefghijklmno");
    EXPECT_EQ(conf.link_state, 1);

    reset_interface_conf(&conf);
    EXPECT_STREQ(conf.gateway, "");
    EXPECT_STREQ(conf.mac, "");
    EXPECT_EQ(conf.role, INTERFACE_ROLE_NOT_SET);
    EXPECT_EQ(conf.ipv4_mode, IPV4_MODE_NOT_SET);
    free_interface_conf(&conf);
    EXPECT_EQ(copy_interface_conf(&conf, &view), -1); // no buffers: never written to
}

} // namespace
