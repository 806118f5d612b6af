// The authentication messages: challenge request CHRQ { PUID }, challenge
// CHAL { PUID, ADDR, CHA }, login LOGN { USER, PASS }, and the bare OK and
// ERR (its text is its own payload), with builders, parsers and a dump.
// Ownership: builders return a malloc'd message the caller frees (size:
// tlv_get_size); parsers return pointers into the caller's buffer. Fields are
// held to the catalogue's size rules only: texts are NOT tested for their zero
// byte, and a consumer reads one through element_text (ipconf/elements.hpp).
// Errors: builders return null; parsers return -1 (login: 1 for a missing field).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "ipconf/auth.hpp"
#include "ipconf/elements.hpp"

// auth_msg_build_challenged_password is declared with the challenge math in
// ipconf/auth.hpp.

// ---- Builders (null on memory exhaustion or a refused argument)

// CHRQ, with PUID whenever puid is not null (8 bytes without).
[[nodiscard]] uint8_t *auth_msg_build_challenge_request(const char *puid);
// CHAL { PUID when not null, ADDR when not null, CHA with the count bytes }.
[[nodiscard]] uint8_t *auth_msg_build_challenge(const uint8_t *challenge, size_t count, const char *puid,
                                                const char *address);
// LOGN { USER, PASS }: PASS is the challenged password of the leading bytes
// (the challenge) and the 4-byte tail (the password hash). A user name over
// 255 characters is refused.
[[nodiscard]] uint8_t *auth_msg_build_login(const char *user, const uint8_t *leading, size_t count,
                                            const uint8_t *tail);
// The 8 bytes 4F 4B 00 00 00 00 00 00.
[[nodiscard]] uint8_t *auth_msg_build_ok();
// ERR carrying the text and its zero byte.
[[nodiscard]] uint8_t *auth_msg_build_error(const char *text);

// ---- Parsers
// Each walks one message from *cursor and leaves *cursor just past it and
// *avail lowered by its size, whether it succeeds or not (or *avail 0 when the
// message is longer than the data). Unknown elements are stepped over; the
// last occurrence of a field wins.

// 0 once what the caller needs has been seen: the CHRQ envelope when puid is
// null, else a PUID of exactly 18 bytes (stored in *puid). A later malformed
// element does not undo it. -1 otherwise.
[[nodiscard]] int auth_msg_parse_challenge_request(uint8_t **cursor, size_t *avail, char **puid);
// 0 when a CHA was found (*challenge, *length; any length). PUID (exactly 18)
// and ADDR (at most 46) are examined only when their places are not null, and
// are then required. The caller sets *puid and *address to null beforehand.
[[nodiscard]] int auth_msg_parse_challenge(uint8_t **cursor, size_t *avail, uint8_t **challenge, size_t *length,
                                           char **puid, char **address);
// 0 with both USER (at most 256 bytes) and PASS (exactly 20), 1 when either is
// missing, -1 for a malformed message. Both outputs are set to null first.
[[nodiscard]] int auth_msg_parse_login(uint8_t **cursor, size_t *avail, char **user, uint8_t **password);

// Hex dump of a whole message, entering CHRQ, CHAL and LOGN.
void auth_msg_dump(FILE *stream, const uint8_t *message);
