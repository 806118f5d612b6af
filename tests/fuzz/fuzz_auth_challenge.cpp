// A challenge as a peer reads it: outputs inside the input, the position past
// the message, asking for less never refuses more, and a challenge built from
// the parsed values parses back to them.
#include <memory>

#include "check.hpp"
#include "ipconf/auth_msg.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in(data, size);
    if (in.size() == 0)
        return 0;
    uint8_t *cursor = in.begin();
    size_t avail = in.size();
    uint8_t *challenge = nullptr;
    size_t length = 0;
    char *puid = nullptr, *address = nullptr;
    const int asked = auth_msg_parse_challenge(&cursor, &avail, &challenge, &length, &puid, &address);
    in.check_position(cursor, avail);
    cursor = in.begin();
    avail = in.size();
    uint8_t *bare = nullptr;
    size_t bare_length = 0;
    const int not_asked = auth_msg_parse_challenge(&cursor, &avail, &bare, &bare_length, nullptr, nullptr);
    in.check_position(cursor, avail);
    FUZZ_CHECK(asked == -1 || not_asked == 0);
    if (asked != 0)
        return 0;
    FUZZ_CHECK(in.check_field(challenge) == length && in.check_field(bare) == bare_length);
    // A stop after the CHA keeps the result without the completion checks, so
    // the asked-for fields may be missing.
    if (puid == nullptr || address == nullptr)
        return 0;
    FUZZ_CHECK(in.check_field(puid) == AUTH_PUID_SIZE && in.check_field(address) <= AUTH_ADDRESS_MAX);
    if (!writes_back(puid) || !writes_back(address))
        return 0;
    std::unique_ptr<uint8_t, free_message> built(auth_msg_build_challenge(challenge, length, puid, address));
    FUZZ_CHECK(built != nullptr);
    uint8_t *again = built.get();
    size_t left = tlv_get_size(again);
    uint8_t *challenge2 = nullptr;
    size_t length2 = 0;
    char *puid2 = nullptr, *address2 = nullptr;
    FUZZ_CHECK(auth_msg_parse_challenge(&again, &left, &challenge2, &length2, &puid2, &address2) == 0);
    FUZZ_CHECK(left == 0 && length2 == length && std::memcmp(challenge, challenge2, length) == 0);
    FUZZ_CHECK(seen(puid) == seen(puid2) && seen(address) == seen(address2));
    return 0;
}
