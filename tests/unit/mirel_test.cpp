#include "lib/mirel/dictionary.hpp"
#include "lib/mirel/log.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> received; // "context|text"

TEST(MirelLog, ThresholdContextControlCharactersAndLength)
{
    // The daemon's settings: notice, callback, level name, one line; the
    // library keeps a copy of the descriptor.
    LogDesc desc;
    Log_Reset(&desc);
    ASSERT_EQ(Log_SetCallback(
                  &desc,
                  [](const char *text, const char *context) { received.push_back(std::string(context) + "|" + text); },
                  "[libmirel]"),
              0);
    desc.settings = 0x3805;
    ASSERT_EQ(Log_SetDefault(&desc), 0);
    std::memset(&desc, 0xa5, sizeof desc);
    Log_Write(LOG_LEVEL_INFO, "hidden %d", 1);
    Log_Write(LOG_LEVEL_NOTICE, "listening on %s", "unix:/x");
    Log_Write(LOG_LEVEL_ERROR, "bad line from %d:\n%s", 7, "evil\r\x1b[2Jtext"); // cannot break the line
    Log_Write(LOG_LEVEL_ERROR, "%s", std::string(5000, 'x').c_str());
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0], "[libmirel]|notice: listening on unix:/x");
    EXPECT_EQ(received[1], "[libmirel]|error: bad line from 7:?evil??[2Jtext");
    EXPECT_EQ(received[2], "[libmirel]|error: " + std::string(1023 - 7 - 3, 'x') + "...");
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
    std::memset(key, 0, sizeof key); // reused at once: the dictionary holds copies
    std::memset(value, 0, sizeof value);
    EXPECT_STREQ(Dictionary_KeyAt(dictionary, 0), "00002.hostname");
    EXPECT_STREQ(Dictionary_Get(dictionary, "00001.hostname"), "host-1");
    // Replacing keeps the place; an empty value is a value.
    ASSERT_EQ(Dictionary_Set(dictionary, "00002.hostname", ""), 0);
    ASSERT_EQ(Dictionary_Count(dictionary), 3u);
    EXPECT_STREQ(Dictionary_ValueAt(dictionary, 0), "");
    EXPECT_EQ(Dictionary_Get(dictionary, "absent"), nullptr);
    EXPECT_EQ(Dictionary_KeyAt(dictionary, 3), nullptr);
    Dictionary_Destroy(dictionary);
}

} // namespace
