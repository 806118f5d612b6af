// A challenge as a peer reads it: outputs inside the input, the position past
// the message, asking for less never refuses more, and a challenge built from
// the parsed values parses back to them.
#include "check.hpp"
#include "ipconf/auth_msg.hpp"

FUZZ_TARGET(in, nonempty_input)
{
    uint8_t *challenge = nullptr, *bare = nullptr;
    size_t length = 0, bare_length = 0;
    char *puid = nullptr, *address = nullptr;
    const int asked = auth_msg_parse_challenge(&in.cursor, &in.avail, &challenge, &length, &puid, &address);
    in.check_position();
    in.rewind();
    const int not_asked = auth_msg_parse_challenge(&in.cursor, &in.avail, &bare, &bare_length, nullptr, nullptr);
    in.check_position();
    FUZZ_CHECK(asked == -1 || not_asked == 0);
    if (asked != 0)
        return;
    FUZZ_CHECK(in.check_field(challenge) == length && in.check_field(bare) == bare_length);
    // A stop after the CHA keeps the result without the completion checks, so
    // the asked-for fields may be missing.
    if (puid == nullptr || address == nullptr)
        return;
    FUZZ_CHECK(in.check_field(puid) == AUTH_PUID_SIZE && in.check_field(address) <= AUTH_ADDRESS_MAX);
    if (!writes_back(puid) || !writes_back(address))
        return;
    fuzz_input again = rebuilt(auth_msg_build_challenge(challenge, length, puid, address));
    uint8_t *challenge2 = nullptr;
    size_t length2 = 0;
    char *puid2 = nullptr, *address2 = nullptr;
    FUZZ_CHECK(auth_msg_parse_challenge(&again.cursor, &again.avail, &challenge2, &length2, &puid2, &address2) == 0);
    FUZZ_CHECK(again.avail == 0 && length2 == length && std::memcmp(challenge, challenge2, length) == 0);
    FUZZ_CHECK(seen(puid) == seen(puid2) && seen(address) == seen(address2));
}
