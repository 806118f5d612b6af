// SHA-1 digests (FIPS 180-1) over bytes added in any number of pieces.
// A context lives from sha1_open to sha1_close (or a failing sha1_add); the
// 20-byte digest is malloc'd and freed by the caller. Failures are reported
// only by null results: nothing is printed or logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

inline constexpr size_t SHA1_DIGEST_SIZE = 20;

struct sha1_context;

// Null when memory is exhausted.
[[nodiscard]] sha1_context *sha1_open();
// Returns the context, or null (context released) once the message would
// pass 2^64 - 1 bits. A count of 0 leaves it untouched.
[[nodiscard]] sha1_context *sha1_add(sha1_context *context, const void *data, size_t count);
// The digest of everything added, or null; the context is released either way.
[[nodiscard]] uint8_t *sha1_close(sha1_context *context);
// Open, add, close in one call; null if any step failed.
[[nodiscard]] uint8_t *sha1_hash(const void *data, size_t count);
// 40 lowercase hex digits and a newline; the result of writing the newline.
int sha1_dump(FILE *stream, const uint8_t *digest);
