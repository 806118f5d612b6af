// The pending configuration without a configuration service: which requests
// are for this device, what storing a request arms, and that a refused
// request leaves nothing behind.
#include "ipconf/auth.hpp"
#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_backend.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "platform/product_info.hpp"
#include "util/tlv.hpp"
#include "util/tlv_ez.hpp"

#include <gtest/gtest.h>

#include "tlv_bytes.hpp"

#include <sys/time.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr const char *puid = "02:00:00:00:0D:01";

interface_conf entry(const char *mac, const char *ipv4)
{
    return {nullptr, const_cast<char *>(mac), 3, 2, 3, const_cast<char *>(ipv4), nullptr, nullptr, nullptr, nullptr,
            nullptr};
}

bytes conf(const char *for_puid, const char *host_name, const std::vector<interface_conf> &interfaces)
{
    const uint8_t hash[20] = {1, 2, 3, 4};
    const uint8_t challenge[4] = {9, 9, 9, 9};
    tlv_writer *writer = ipconf_msg_open_conf(for_puid, "admin", hash, challenge, sizeof challenge);
    writer = ipconf_msg_set_conf_hostname(writer, host_name);
    for (const auto &e : interfaces)
        writer = ipconf_msg_add_interface_to_conf(writer, &e);
    return take(tlv_close_all(&writer));
}

long timer_seconds()
{
    itimerval timer{};
    getitimer(ITIMER_REAL, &timer);
    return timer.it_value.tv_sec + (timer.it_value.tv_usec > 0 ? 1 : 0);
}

class PendingConf : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(product_info_set_puid(puid), 0);
        ASSERT_EQ(ipconf_open_pending_conf(), 0);
    }
    void TearDown() override
    {
        ipconf_clear_pending_conf();
        ipconf_close_pending_conf();
    }
};

TEST_F(PendingConf, OnlyRequestsNamingExactlyThisPuidAreForTheDevice)
{
    bytes mine = conf(puid, "x", {});
    EXPECT_EQ(ipconf_check_puid(mine.data(), mine.size()), 0);
    // The PUID lies beyond the bytes received.
    EXPECT_NE(ipconf_check_puid(mine.data(), 20), 0);
    for (bytes other : {conf("02:00:00:00:0d:01", "x", {}), conf(nullptr, "x", {}), take(ipconf_msg_build_look())})
        EXPECT_NE(ipconf_check_puid(other.data(), other.size()), 0);
}

TEST_F(PendingConf, StoringArmsTheFortySecondTimerAndClearingDisarmsIt)
{
    EXPECT_EQ(ipconf_has_pending_conf(), 0);
    bytes request = conf(puid, "device-2", {entry("02:00:00:00:0D:02", "198.51.100.7")});
    ASSERT_EQ(ipconf_set_pending_conf(request.data(), request.size(), "192.0.2.20"), 0);
    EXPECT_EQ(ipconf_has_pending_conf(), 1);
    EXPECT_STREQ(ipconf_get_configurator_address(), "192.0.2.20");
    EXPECT_EQ(timer_seconds(), 40);

    EXPECT_EQ(ipconf_clear_pending_conf(), 0);
    EXPECT_EQ(ipconf_has_pending_conf(), 0);
    EXPECT_EQ(timer_seconds(), 0);
    // The address of the last configurator stays for a late reply.
    EXPECT_STREQ(ipconf_get_configurator_address(), "192.0.2.20");
}

TEST_F(PendingConf, ARefusedRequestLeavesNothingPendingOrArmed)
{
    // Truncated: the head runs beyond the received bytes.
    bytes request = conf(puid, "device-2", {});
    EXPECT_EQ(ipconf_set_pending_conf(request.data(), request.size() - 1, "192.0.2.20"), -1);
    EXPECT_EQ(ipconf_has_pending_conf(), 0);
    EXPECT_EQ(timer_seconds(), 0);

    // The second interface entry is malformed (a MAC of 14 characters).
    bytes bad = conf(puid, "device-2", {entry("02:00:00:00:0D:02", "198.51.100.7"), entry("02:00:00:00:0D", "1.2.3.4")});
    EXPECT_EQ(ipconf_set_pending_conf(bad.data(), bad.size(), "192.0.2.20"), -1);
    EXPECT_EQ(ipconf_has_pending_conf(), 0);
    EXPECT_EQ(timer_seconds(), 0);
}

} // namespace
