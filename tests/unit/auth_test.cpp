#include "ipconf/auth.hpp"
#include "util/sha1.hpp"

#include <gtest/gtest.h>

#include <dirent.h>

#include <array>
#include <cstring>

namespace {

using digest = std::array<uint8_t, SHA1_DIGEST_SIZE>;

const uint8_t CHALLENGE[4] = {0x11, 0x22, 0x33, 0x44};
// SHA-1 of 11 22 33 44 de ad be ef, computed outside this code.
const digest EXPECTED = {0xbc, 0x66, 0x6e, 0x88, 0xad, 0xf8, 0xe0, 0x4e, 0xc4, 0x22,
                         0x00, 0xd8, 0xb4, 0x08, 0x28, 0x4c, 0x1d, 0xb4, 0xcd, 0x19};

digest password_hash()
{
    digest hash{0xde, 0xad, 0xbe, 0xef};
    for (size_t i = 4; i < hash.size(); ++i)
        hash[i] = static_cast<uint8_t>(i * 37);
    return hash;
}

TEST(Auth, ChallengedPasswordUsesFourHashBytes)
{
    digest out{};
    const digest hash = password_hash();
    ASSERT_EQ(auth_msg_build_challenged_password(CHALLENGE, 4, hash.data(), out.data()), 0);
    EXPECT_EQ(out, EXPECTED);
    EXPECT_EQ(check_password(CHALLENGE, 4, hash.data(), EXPECTED.data()), 0);
}

TEST(Auth, CheckRefusesAnyChangeThatMatters)
{
    const digest hash = password_hash();
    for (size_t i = 0; i < EXPECTED.size(); ++i) {
        digest received = EXPECTED;
        received[i] ^= 0x01;
        EXPECT_NE(check_password(CHALLENGE, 4, hash.data(), received.data()), 0) << "received byte " << i;
    }
    for (size_t i = 0; i < 4; ++i) {
        uint8_t challenge[4];
        std::memcpy(challenge, CHALLENGE, 4);
        challenge[i] ^= 0x80;
        EXPECT_NE(check_password(challenge, 4, hash.data(), EXPECTED.data()), 0) << "challenge byte " << i;
        digest changed = hash;
        changed[i] ^= 0x80;
        EXPECT_NE(check_password(CHALLENGE, 4, changed.data(), EXPECTED.data()), 0) << "hash byte " << i;
    }
    // The last 16 hash bytes do not enter the response.
    digest other = hash;
    for (size_t i = 4; i < other.size(); ++i)
        other[i] = static_cast<uint8_t>(~other[i]);
    EXPECT_EQ(check_password(CHALLENGE, 4, other.data(), EXPECTED.data()), 0);
}

int open_descriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (readdir(dir))
        ++count;
    closedir(dir);
    return count;
}

TEST(Auth, RandomChallengesAreNeverZeroAndLeaveNoDescriptor)
{
    const int before = open_descriptors();
    uint32_t previous = 0;
    int repeats = 0;
    for (int i = 0; i < 200; ++i) {
        const uint32_t challenge = get_random_challenge();
        EXPECT_NE(challenge, 0u);
        repeats += challenge == previous;
        previous = challenge;
    }
    EXPECT_LT(repeats, 2);
    EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
