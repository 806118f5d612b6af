#include "lib/mirel/dictionary.hpp"
#include "lib/mirel/log.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<std::string, std::string>> received;  // (context, text)

void record(const char *text, const char *context)
{
    received.emplace_back(context, text);
}

// Installs a callback descriptor with exactly the settings word given, from a
// descriptor that is gone (and overwritten) before anything is logged.
void install(uint32_t settings, const char *context)
{
    {
        LogDesc desc;
        Log_Reset(&desc);
        desc.settings = settings;
        ASSERT_EQ(Log_SetCallback(&desc, record, context), 0);
        EXPECT_NE(desc.settings & LOG_SETTING_CALLBACK, 0u);
        desc.settings = settings;
        ASSERT_EQ(Log_SetDefault(&desc), 0);
        std::memset(&desc, 0xa5, sizeof desc);
    }
    received.clear();
}

class MirelLog : public ::testing::Test {
protected:
    void TearDown() override
    {
        LogDesc desc;
        Log_Reset(&desc);
        EXPECT_EQ(Log_SetDefault(&desc), 0);
    }
};

TEST_F(MirelLog, DaemonSettingsPassNoticeAndWorseToCallbackWithContext)
{
    install(0x3805, "[libmirel]");
    Log_Write(LOG_LEVEL_INFO, "hidden %d", 1);
    Log_Write(LOG_LEVEL_NOTICE, "listening on %s", "unix:/x");
    Log_Write(LOG_LEVEL_ERROR, "bad line from %d:\n%s", 7, "evil\r\x1b[2Jtext");
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].first, "[libmirel]");
    EXPECT_EQ(received[0].second, "notice: listening on unix:/x");
    // Text from clients cannot break the line or reach a terminal as controls.
    EXPECT_EQ(received[1].second, "error: bad line from 7:?evil??[2Jtext");
}

TEST_F(MirelLog, ThresholdFlagsAndLimits)
{
    install(LOG_SETTING_CALLBACK | LOG_LEVEL_DEBUG, "");
    Log_Write(LOG_LEVEL_DEBUG, "plain\n");
    Log_Write(LOG_LEVEL_DEBUG + 1, "no such level");
    Log_Write(-1, "no such level");
    std::string big(5000, 'x');
    Log_Write(LOG_LEVEL_ERROR, "%s", big.c_str());
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].first, "");
    EXPECT_EQ(received[0].second, "plain\n");  // unchanged without the one-line flag
    EXPECT_EQ(received[1].second.size(), 1023u);
    EXPECT_EQ(received[1].second.substr(1020), "...");

    // Callback flag off: the callback is not used although it is set.
    install(LOG_LEVEL_DEBUG, "c");
    Log_Write(LOG_LEVEL_ERROR, "to nobody");
    EXPECT_TRUE(received.empty());

    LogDesc desc;
    Log_Reset(&desc);
    EXPECT_EQ(desc.settings, LOG_SETTINGS_RESET);
    std::string context(LOG_CONTEXT_SIZE, 'c');
    errno = 0;
    EXPECT_EQ(Log_SetCallback(&desc, record, context.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(desc.callback, nullptr);
    context.pop_back();
    EXPECT_EQ(Log_SetCallback(&desc, record, context.c_str()), 0);
    EXPECT_EQ(std::string(desc.context), context);
    EXPECT_EQ(Log_SetDefault(nullptr), -1);
}

TEST(MirelDictionary, StoresCopiesInInsertionOrder)
{
    Dictionary *dictionary = Dictionary_CreateEx(0);
    ASSERT_NE(dictionary, nullptr);
    EXPECT_EQ(Dictionary_Count(dictionary), 0u);

    char key[256];
    char value[256];
    for (int i = 0; i < 3; ++i) {
        snprintf(key, sizeof key, "%.5d.hostname", 2 - i);
        snprintf(value, sizeof value, "host-%d", i);
        ASSERT_EQ(Dictionary_Set(dictionary, key, value), 0);
    }
    // The buffers are reused right after: the dictionary must hold copies.
    std::memset(key, 0, sizeof key);
    std::memset(value, 'z', sizeof value - 1);
    ASSERT_EQ(Dictionary_Count(dictionary), 3u);
    EXPECT_STREQ(Dictionary_KeyAt(dictionary, 0), "00002.hostname");
    EXPECT_STREQ(Dictionary_ValueAt(dictionary, 2), "host-2");
    EXPECT_STREQ(Dictionary_Get(dictionary, "00001.hostname"), "host-1");

    // Replacing keeps the place; an empty value is a value.
    ASSERT_EQ(Dictionary_Set(dictionary, "00002.hostname", ""), 0);
    ASSERT_EQ(Dictionary_Count(dictionary), 3u);
    EXPECT_STREQ(Dictionary_KeyAt(dictionary, 0), "00002.hostname");
    EXPECT_STREQ(Dictionary_ValueAt(dictionary, 0), "");

    EXPECT_EQ(Dictionary_Get(dictionary, "absent"), nullptr);
    EXPECT_EQ(Dictionary_KeyAt(dictionary, 3), nullptr);
    EXPECT_EQ(Dictionary_ValueAt(dictionary, 3), nullptr);
    EXPECT_EQ(Dictionary_Set(dictionary, nullptr, "v"), -1);
    EXPECT_EQ(Dictionary_Set(dictionary, "k", nullptr), -1);
    EXPECT_EQ(Dictionary_Count(dictionary), 3u);
    Dictionary_Destroy(dictionary);

    errno = 0;
    EXPECT_EQ(Dictionary_CreateEx(1), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(Dictionary_Count(nullptr), 0u);
    Dictionary_Destroy(nullptr);
}

}  // namespace
