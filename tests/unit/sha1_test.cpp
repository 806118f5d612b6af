#include "util/sha1.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string hex(const uint8_t *digest)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&text, &size);
    EXPECT_EQ(sha1_dump(stream, digest), '\n');
    std::fclose(stream);
    std::string out(text, size);
    std::free(text);
    return out;
}

std::string hash_hex(const std::string &input)
{
    uint8_t *digest = sha1_hash(input.data(), input.size());
    EXPECT_NE(digest, nullptr);
    std::string out = digest ? hex(digest) : "";
    std::free(digest);
    return out;
}

TEST(Sha1, KnownDigestsAroundBlockBoundaries)
{
    // FIPS 180-1 appendices A and B, the empty message, and lengths where
    // the padding fits or spills into an extra block.
    EXPECT_EQ(hash_hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709\n");
    EXPECT_EQ(hash_hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d\n");
    EXPECT_EQ(hash_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1\n");
    EXPECT_EQ(hash_hex(std::string(55, 'a')), "c1c8bbdc22796e28c0e15163d20899b65621d65a\n");
    EXPECT_EQ(hash_hex(std::string(56, 'a')), "c2db330f6083854c99d4b5bfb6e8f29f201be699\n");
    EXPECT_EQ(hash_hex(std::string(63, 'a')), "03f09f5b158a7a8cdad920bddc29b81c18a551f5\n");
    EXPECT_EQ(hash_hex(std::string(64, 'a')), "0098ba824b5c16427bd7a1122a5a442a25ec644d\n");
    EXPECT_EQ(hash_hex(std::string(65, 'a')), "11655326c708d70319be2610e8a57d9a5b959d3b\n");
    EXPECT_EQ(hash_hex(std::string(120, 'a')), "f34c1488385346a55709ba056ddd08280dd4c6d6\n");
}

TEST(Sha1, SplitInputGivesTheSameDigest)
{
    // FIPS 180-1 appendix C: one million 'a', added in uneven pieces with
    // empty additions in between.
    const std::string million(1000000, 'a');
    sha1_context *context = sha1_open();
    ASSERT_NE(context, nullptr);
    size_t done = 0;
    for (size_t piece = 0; done < million.size(); piece = (piece * 7 + 13) % 200) {
        const size_t count = std::min(piece, million.size() - done);
        context = sha1_add(context, million.data() + done, count);
        ASSERT_NE(context, nullptr);
        done += count;
    }
    ASSERT_EQ(sha1_add(context, nullptr, 0), context);
    uint8_t *digest = sha1_close(context);
    ASSERT_NE(digest, nullptr);
    EXPECT_EQ(hex(digest), "34aa973cd4c4daa4f61eeb2bdbad27316534016f\n");
    std::free(digest);

    // Byte by byte across a block boundary.
    const std::string text(65, 'a');
    context = sha1_open();
    for (char c : text)
        context = sha1_add(context, &c, 1);
    digest = sha1_close(context);
    EXPECT_EQ(hex(digest), "11655326c708d70319be2610e8a57d9a5b959d3b\n");
    std::free(digest);
}

TEST(Sha1, DumpKeepsLeadingZeros)
{
    uint8_t digest[SHA1_DIGEST_SIZE] = {0x00, 0x01, 0x0a, 0xff};
    EXPECT_EQ(hex(digest), "00010aff" + std::string(32, '0') + "\n");
}

}  // namespace
