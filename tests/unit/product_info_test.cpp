// The product information store as the command line and the server use it:
// refusals keep the previous value and say why in syslog.
#include "net/socket.hpp"
#include "platform/product_info.hpp"

#include <gtest/gtest.h>

#include <string>
#include <syslog.h>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(ProductInfo, RefusalsKeepThePreviousValueAndSayWhy)
{
    openlog("orvaned", LOG_PERROR, LOG_USER); // syslog lines copied to stderr
    EXPECT_EQ(product_info_set_puid("02:ab:cd:ef:00:1f"), 0);
    EXPECT_STREQ(product_info_get_puid(), "02:AB:CD:EF:00:1F");
    EXPECT_EQ(product_info_get_mode(), PRODUCT_MODE_NORMAL);
    EXPECT_EQ(product_info_set_mode("not-configurable"), 0);
    const std::pair<const char *, int> modes[] = {{"sleep", PRODUCT_MODE_SLEEP}, {"rescue", PRODUCT_MODE_RESCUE}};
    for (const auto &[name, mode] : modes) {
        EXPECT_EQ(product_info_set_mode(name), 0);
        EXPECT_EQ(product_info_get_mode(), static_cast<uint32_t>(mode));
    }

    CaptureStderr();
    EXPECT_EQ(product_info_set_puid("02:ab:cd:ef:00:1"), -1);
    EXPECT_EQ(product_info_set_puid("02:ab:cd:ef:00:1ff"), -1);
    EXPECT_EQ(product_info_set_mode("Normal"), -1);
    EXPECT_EQ(product_info_set_host_name(std::string(64, 'h').c_str()), -1);
    EXPECT_EQ(GetCapturedStderr(), "orvaned: bad size of PUID\norvaned: bad size of PUID\norvaned: unknown mode\n"
                                   "orvaned: host name too long\n");
    EXPECT_STREQ(product_info_get_puid(), "02:AB:CD:EF:00:1F");
    EXPECT_EQ(product_info_get_mode(), PRODUCT_MODE_RESCUE);
    EXPECT_EQ(product_info_get(), nullptr); // no configuration service session
    closelog();
}

TEST(SelectSet, RemoveKeepsTheOthersAndOutOfRangeIsIgnored)
{
    select_set set;
    select_set_zero(&set);
    socket_add(5, &set);
    socket_add(9, &set);
    socket_remove(9, &set);
    socket_add(FD_SETSIZE, &set); // nothing written outside the record
    socket_add(-1, &set);
    EXPECT_FALSE(FD_ISSET(9, &set.read) || FD_ISSET(9, &set.except));
    EXPECT_TRUE(FD_ISSET(5, &set.read) && FD_ISSET(5, &set.except));
}

} // namespace
