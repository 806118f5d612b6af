#include "util/sha1.hpp"

#include "util/bytes.hpp"

#include <cstdlib>
#include <cstring>

struct sha1_context {
    uint32_t intermediate[5];
    uint32_t length_low;  // message bits, low half
    uint32_t length_high; // message bits, high half
    int16_t block_index;
    uint8_t block[64];
};

namespace {

constexpr uint32_t INITIAL[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};

constexpr uint32_t rotate_left(uint32_t value, int bits)
{
    return (value << bits) | (value >> (32 - bits));
}

void process_block(sha1_context *context)
{
    uint32_t w[80];
    for (int t = 0; t < 16; ++t)
        w[t] = load_be32(context->block + 4 * t);
    for (int t = 16; t < 80; ++t)
        w[t] = rotate_left(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    uint32_t a = context->intermediate[0], b = context->intermediate[1], c = context->intermediate[2],
             d = context->intermediate[3], e = context->intermediate[4];
    for (int t = 0; t < 80; ++t) {
        uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const uint32_t temp = rotate_left(a, 5) + f + e + w[t] + k;
        e = d;
        d = c;
        c = rotate_left(b, 30);
        b = a;
        a = temp;
    }
    context->intermediate[0] += a;
    context->intermediate[1] += b;
    context->intermediate[2] += c;
    context->intermediate[3] += d;
    context->intermediate[4] += e;
    context->block_index = 0;
}

// The 0x80 byte, zeros, and the bit count (high half first) in the last block.
void pad_message(sha1_context *context)
{
    context->block[context->block_index++] = 0x80;
    if (context->block_index > 56) {
        std::memset(context->block + context->block_index, 0, static_cast<size_t>(64 - context->block_index));
        process_block(context);
    }
    std::memset(context->block + context->block_index, 0, static_cast<size_t>(56 - context->block_index));
    store_be32(context->block + 56, context->length_high);
    store_be32(context->block + 60, context->length_low);
    process_block(context);
}

} // namespace

sha1_context *sha1_open()
{
    auto *context = static_cast<sha1_context *>(std::calloc(1, sizeof(sha1_context)));
    if (context)
        std::memcpy(context->intermediate, INITIAL, sizeof INITIAL);
    return context;
}

sha1_context *sha1_add(sha1_context *context, const void *data, size_t count)
{
    if (!context)
        return nullptr;
    const auto *bytes = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < count; ++i) {
        context->block[context->block_index++] = bytes[i];
        context->length_low += 8;
        if (context->length_low == 0 && ++context->length_high == 0) {
            std::free(context);
            return nullptr;
        }
        if (context->block_index == 64)
            process_block(context);
    }
    return context;
}

uint8_t *sha1_close(sha1_context *context)
{
    if (!context)
        return nullptr;
    pad_message(context);
    std::memset(context->block, 0, sizeof context->block);
    context->length_low = 0;
    context->length_high = 0;
    auto *digest = static_cast<uint8_t *>(std::malloc(SHA1_DIGEST_SIZE));
    if (digest) {
        for (size_t i = 0; i < SHA1_DIGEST_SIZE / 4; ++i)
            store_be32(digest + 4 * i, context->intermediate[i]);
    }
    std::free(context);
    return digest;
}

uint8_t *sha1_hash(const void *data, size_t count)
{
    return sha1_close(sha1_add(sha1_open(), data, count));
}

int sha1_dump(FILE *stream, const uint8_t *digest)
{
    for (size_t i = 0; i < SHA1_DIGEST_SIZE; ++i)
        std::fprintf(stream, "%02x", digest[i]);
    return std::fputc('\n', stream);
}
