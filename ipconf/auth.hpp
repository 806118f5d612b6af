// Challenges and the challenged-password check of the configuration and
// notifier logins: the response to a 4-byte challenge is the SHA-1 of the
// challenge bytes followed by the first 4 bytes of the password hash.
// Nothing is printed or logged; failures are the results below.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t AUTH_CHALLENGE_SIZE = 4;

// A fresh challenge from /dev/urandom, never 0 (four zero bytes give 1);
// 0 when the device cannot be opened or read in full.
[[nodiscard]] uint32_t get_random_challenge();

// SHA-1 of the count leading bytes followed by the first 4 bytes of tail,
// written to the 20 bytes at out. 0, or -1 with out untouched. (Part of the
// authentication message interface, which includes this header.)
[[nodiscard]] int auth_msg_build_challenged_password(const uint8_t *leading, size_t count, const uint8_t *tail,
                                                     uint8_t *out);

// 0 when received (20 bytes) is the challenged password of the challenge and
// the password hash; -1 when it cannot be computed; else non-zero.
[[nodiscard]] int check_password(const uint8_t *challenge, size_t count, const uint8_t *password_hash,
                                 const uint8_t *received);
