#include "lib/mirel/dictionary.hpp"
#include "lib/mirel/log.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::pair<std::string, std::string>> received;  // (context, text)

void record(const char *text, const char *context)
{
    received.emplace_back(context, text);
}

// Installs a callback descriptor with exactly these settings, from a
// descriptor that is overwritten before anything is logged.
void install(uint32_t settings, const char *context)
{
    LogDesc desc;
    Log_Reset(&desc);
    ASSERT_EQ(Log_SetCallback(&desc, record, context), 0);
    desc.settings = settings;
    ASSERT_EQ(Log_SetDefault(&desc), 0);
    std::memset(&desc, 0xa5, sizeof desc);
    received.clear();
}

TEST(MirelLog, ThresholdContextControlCharactersAndLength)
{
    install(0x3805, "[libmirel]");  // the daemon's: notice, callback, level name, one line
    Log_Write(LOG_LEVEL_INFO, "hidden %d", 1);
    Log_Write(LOG_LEVEL_NOTICE, "listening on %s", "unix:/x");
    Log_Write(LOG_LEVEL_ERROR, "bad line from %d:\n%s", 7, "evil\r\x1b[2Jtext");
    Log_Write(LOG_LEVEL_ERROR, "%s", std::string(5000, 'x').c_str());
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0], std::make_pair(std::string("[libmirel]"), std::string("notice: listening on unix:/x")));
    // Text from clients cannot break the line or reach a terminal as controls.
    EXPECT_EQ(received[1].second, "error: bad line from 7:?evil??[2Jtext");
    EXPECT_EQ(received[2].second.size(), 1023u);
    EXPECT_EQ(received[2].second.substr(1020), "...");

    install(LOG_LEVEL_DEBUG, "c");  // callback flag off: not used although set
    Log_Write(LOG_LEVEL_ERROR, "to nobody");
    EXPECT_TRUE(received.empty());

    LogDesc desc;
    Log_Reset(&desc);
    EXPECT_EQ(Log_SetDefault(&desc), 0);
    std::string context(LOG_CONTEXT_SIZE, 'c');
    EXPECT_EQ(Log_SetCallback(&desc, record, context.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    context.pop_back();
    EXPECT_EQ(Log_SetCallback(&desc, record, context.c_str()), 0);
    EXPECT_EQ(std::string(desc.context), context);
}

TEST(MirelDictionary, StoresCopiesInInsertionOrder)
{
    Dictionary *dictionary = Dictionary_CreateEx(0);
    char key[32], value[32];
    for (int i = 0; i < 3; ++i) {
        snprintf(key, sizeof key, "%.5d.hostname", 2 - i);
        snprintf(value, sizeof value, "host-%d", i);
        ASSERT_EQ(Dictionary_Set(dictionary, key, value), 0);
    }
    std::memset(key, 0, sizeof key);  // reused at once: the dictionary holds copies
    std::memset(value, 0, sizeof value);
    EXPECT_STREQ(Dictionary_KeyAt(dictionary, 0), "00002.hostname");
    EXPECT_STREQ(Dictionary_ValueAt(dictionary, 2), "host-2");
    EXPECT_STREQ(Dictionary_Get(dictionary, "00001.hostname"), "host-1");
    // Replacing keeps the place; an empty value is a value.
    ASSERT_EQ(Dictionary_Set(dictionary, "00002.hostname", ""), 0);
    ASSERT_EQ(Dictionary_Count(dictionary), 3u);
    EXPECT_STREQ(Dictionary_ValueAt(dictionary, 0), "");
    EXPECT_EQ(Dictionary_Get(dictionary, "absent"), nullptr);
    EXPECT_EQ(Dictionary_KeyAt(dictionary, 3), nullptr);
    Dictionary_Destroy(dictionary);
}

}  // namespace
