// A challenge request as the servers read it from a stream: the position
// always ends past the message, asking for less never refuses more, and a
// PUID taken from it comes back through the builder.
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
    char *puid = nullptr;
    const int with_puid = auth_msg_parse_challenge_request(&cursor, &avail, &puid);
    in.check_position(cursor, avail);
    cursor = in.begin();
    avail = in.size();
    const int without = auth_msg_parse_challenge_request(&cursor, &avail, nullptr);
    in.check_position(cursor, avail);
    FUZZ_CHECK(with_puid == -1 || without == 0);
    if (with_puid != 0)
        return 0;
    FUZZ_CHECK(in.check_field(puid) == AUTH_PUID_SIZE);
    if (!writes_back(puid))
        return 0;
    std::unique_ptr<uint8_t, free_message> built(auth_msg_build_challenge_request(puid));
    FUZZ_CHECK(built != nullptr);
    uint8_t *again = built.get();
    size_t left = tlv_get_size(again);
    char *puid2 = nullptr;
    FUZZ_CHECK(auth_msg_parse_challenge_request(&again, &left, &puid2) == 0 && left == 0);
    FUZZ_CHECK(seen(puid) == seen(puid2));
    return 0;
}
