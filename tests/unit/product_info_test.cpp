// The product information store as the command line and the server use it:
// PUID and mode refusals keep the previous value and say why in syslog.

#include "net/address.hpp"
#include "net/socket.hpp"
#include "platform/product_info.hpp"

#include <gtest/gtest.h>

#include <string>
#include <syslog.h>

namespace {

// syslog with LOG_PERROR copies every line to stderr, where the test reads it.
class ProductInfo : public ::testing::Test {
protected:
    void SetUp() override { openlog("orvaned", LOG_PERROR, LOG_USER); }
    void TearDown() override { closelog(); }
};

TEST_F(ProductInfo, PuidMustBeSeventeenCharactersAndIsUpperCased)
{
    EXPECT_EQ(product_info_set_puid("02:ab:cd:ef:00:1f"), 0);
    EXPECT_STREQ(product_info_get_puid(), "02:AB:CD:EF:00:1F");

    for (const char *refused : {"02:ab:cd:ef:00:1", "02:ab:cd:ef:00:1ff", ""}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(product_info_set_puid(refused), -1) << refused;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "orvaned: bad size of PUID\n");
        EXPECT_STREQ(product_info_get_puid(), "02:AB:CD:EF:00:1F");
    }
    // The characters themselves are not checked.
    EXPECT_EQ(product_info_set_puid("not a mac address"), 0);
    EXPECT_STREQ(product_info_get_puid(), "NOT A MAC ADDRESS");
}

TEST_F(ProductInfo, ModeNamesAreExactAndARefusalKeepsTheMode)
{
    EXPECT_EQ(product_info_get_mode(), PRODUCT_MODE_NORMAL);
    EXPECT_EQ(product_info_set_mode("not-configurable"), 0);
    EXPECT_EQ(product_info_get_mode(), PRODUCT_MODE_NOT_CONFIGURABLE);
    for (const char *refused : {"Normal", "sleep ", "", "sleeping"}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(product_info_set_mode(refused), -1) << refused;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "orvaned: unknown mode\n");
        EXPECT_EQ(product_info_get_mode(), PRODUCT_MODE_NOT_CONFIGURABLE);
    }
    EXPECT_EQ(product_info_set_mode("sleep"), 0);
    EXPECT_EQ(product_info_get_mode(), PRODUCT_MODE_SLEEP);
    EXPECT_EQ(product_info_set_mode("rescue"), 0);
    EXPECT_EQ(product_info_get_mode(), PRODUCT_MODE_RESCUE);
    EXPECT_EQ(product_info_set_mode("normal"), 0);
    EXPECT_EQ(product_info_get_mode(), PRODUCT_MODE_NORMAL);
}

TEST_F(ProductInfo, OverlongHostNameIsRefusedBeforeTheService)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(product_info_set_host_name(std::string(64, 'h').c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "orvaned: host name too long\n");
}

TEST_F(ProductInfo, NothingIsReadWithoutAServiceSession)
{
    EXPECT_EQ(product_info_get(), nullptr);
}

TEST(SelectSet, HighestDescriptorNeverShrinksAndWriteSetStaysEmpty)
{
    select_set set;
    select_set_zero(&set);
    socket_add(9, &set);
    socket_add(5, &set);
    EXPECT_EQ(set.highest, 9);
    EXPECT_TRUE(FD_ISSET(5, &set.read) && FD_ISSET(5, &set.except));
    EXPECT_FALSE(FD_ISSET(5, &set.write));
    socket_remove(9, &set);
    EXPECT_EQ(set.highest, 9);
    EXPECT_FALSE(FD_ISSET(9, &set.read) || FD_ISSET(9, &set.write) || FD_ISSET(9, &set.except));
    EXPECT_TRUE(FD_ISSET(5, &set.read));

    // Out of the sets' range: ignored, nothing written outside the record.
    socket_add(FD_SETSIZE, &set);
    socket_add(-1, &set);
    EXPECT_EQ(set.highest, 9);
}

TEST(CaseHelpers, ConvertInPlaceAndAcceptNull)
{
    char mac[] = "0a:1b:2c:3d:4e:5f";
    string_to_upper(mac);
    EXPECT_STREQ(mac, "0A:1B:2C:3D:4E:5F");
    string_to_lower(mac);
    EXPECT_STREQ(mac, "0a:1b:2c:3d:4e:5f");
    string_to_upper(nullptr);
    string_to_lower(nullptr);
}

} // namespace
