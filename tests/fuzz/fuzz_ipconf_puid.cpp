// The PUID of any message: when found it is an 18-byte field inside the
// input ending with its zero byte, and every request built with it yields it.
#include <memory>

#include "check.hpp"
#include "ipconf/auth_msg.hpp"
#include "ipconf/ipconf_msg.hpp"

FUZZ_TARGET(in, any_input)
{
    char *puid = nullptr;
    if (ipconf_msg_parse_get_puid(in.begin(), in.size(), &puid) != 0) {
        FUZZ_CHECK(puid == nullptr);
        return;
    }
    in.check_text(puid, IPCONF_PUID_SIZE);
    FUZZ_CHECK(in.check_field(puid) == IPCONF_PUID_SIZE);
    if (!writes_back(puid))
        return;
    fuzz_input request = rebuilt(auth_msg_build_challenge_request(puid));
    char *again = nullptr;
    FUZZ_CHECK(ipconf_msg_parse_get_puid(request.begin(), request.size(), &again) == 0);
    FUZZ_CHECK(seen(again) == seen(puid));
}
