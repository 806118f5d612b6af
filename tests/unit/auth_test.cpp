#include "ipconf/auth.hpp"
#include "util/sha1.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>

namespace {

using digest = std::array<uint8_t, SHA1_DIGEST_SIZE>;

TEST(Auth, ChallengedPasswordUsesOnlyTheFirstFourHashBytes)
{
    const uint8_t challenge[4] = {0x11, 0x22, 0x33, 0x44};
    // SHA-1 of 11 22 33 44 de ad be ef, computed outside this code: the check
    // hashes the same bytes as the response and compares all 20 of them.
    const digest expected = {0xbc, 0x66, 0x6e, 0x88, 0xad, 0xf8, 0xe0, 0x4e, 0xc4, 0x22,
                             0x00, 0xd8, 0xb4, 0x08, 0x28, 0x4c, 0x1d, 0xb4, 0xcd, 0x19};
    digest hash{0xde, 0xad, 0xbe, 0xef, 1, 2, 3}, out{};
    ASSERT_EQ(auth_msg_build_challenged_password(challenge, 4, hash.data(), out.data()), 0);
    EXPECT_EQ(out, expected);
    hash.back() = 0xff; // beyond the first four: no effect
    EXPECT_EQ(check_password(challenge, 4, hash.data(), expected.data()), 0);
    for (const size_t changed : {size_t{0}, out.size() - 1}) {
        digest wrong = expected;
        wrong[changed] ^= 1;
        EXPECT_NE(check_password(challenge, 4, hash.data(), wrong.data()), 0) << "byte " << changed;
    }
}

TEST(Auth, RandomChallengesAreNonZeroAndLeaveNoDescriptor)
{
    const int probe = open("/dev/null", O_RDONLY);
    EXPECT_NE(get_random_challenge(), 0u);
    EXPECT_NE(get_random_challenge(), get_random_challenge());
    const int next = open("/dev/null", O_RDONLY);
    EXPECT_EQ(next, probe + 1); // the lowest free descriptor did not move
    close(next);
    close(probe);
}

} // namespace
