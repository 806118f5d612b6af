// A challenge request as the servers read it from a stream: the position
// always ends past the message, asking for less never refuses more, and a
// PUID taken from it comes back through the builder.
#include <memory>

#include "check.hpp"
#include "ipconf/auth_msg.hpp"

FUZZ_TARGET(in, nonempty_input)
{
    char *puid = nullptr;
    const int with_puid = auth_msg_parse_challenge_request(&in.cursor, &in.avail, &puid);
    in.check_position();
    in.rewind();
    const int without = auth_msg_parse_challenge_request(&in.cursor, &in.avail, nullptr);
    in.check_position();
    FUZZ_CHECK(with_puid == -1 || without == 0);
    if (with_puid != 0)
        return;
    FUZZ_CHECK(in.check_field(puid) == AUTH_PUID_SIZE);
    if (!writes_back(puid))
        return;
    fuzz_input again = rebuilt(auth_msg_build_challenge_request(puid));
    char *puid2 = nullptr;
    FUZZ_CHECK(auth_msg_parse_challenge_request(&again.cursor, &again.avail, &puid2) == 0 && again.avail == 0);
    FUZZ_CHECK(seen(puid) == seen(puid2));
}
