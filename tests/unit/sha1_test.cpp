#include "util/sha1.hpp"

#include "support/printed.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

std::string hex(uint8_t *digest)
{
    const std::string out = printed([&](FILE *stream) { EXPECT_EQ(sha1_dump(stream, digest), '\n'); });
    std::free(digest);
    return out;
}

TEST(Sha1, KnownDigestsAroundBlockBoundariesWholeAndInPieces)
{
    // FIPS 180-1 appendices A and B, the empty message, and lengths where
    // the padding fits or spills into an extra block.
    const std::pair<std::string, const char *> cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709\n"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d\n"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1\n"},
        {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a\n"},
        {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699\n"},
        {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d\n"},
    };
    for (const auto &[input, digest] : cases)
        EXPECT_EQ(hex(sha1_hash(input.data(), input.size())), digest) << input.size() << " bytes";

    // FIPS 180-1 appendix C: one million 'a', in uneven pieces (some empty)
    // that cross block boundaries anywhere.
    const std::string million(1000000, 'a');
    sha1_context *context = sha1_open();
    for (size_t done = 0, piece = 0; done < million.size(); piece = (piece * 7 + 13) % 200) {
        const size_t count = std::min(piece, million.size() - done);
        ASSERT_NE(context = sha1_add(context, million.data() + done, count), nullptr);
        done += count;
    }
    EXPECT_EQ(hex(sha1_close(context)), "34aa973cd4c4daa4f61eeb2bdbad27316534016f\n");
}

} // namespace
