// OK as a configurator reads it; what parses is built again and compared.
#include "check.hpp"
#include "ipconf/ipconf_msg.hpp"

FUZZ_TARGET(in, any_input)
{
    char *puid = nullptr, *address = nullptr;
    if (ipconf_msg_parse_ok(in.begin(), in.size(), &puid, &address) != 0)
        return;
    in.check_text(puid, IPCONF_PUID_SIZE);
    in.check_text(address, IPCONF_ADDRESS_MAX);
    if (!exact_writes_back(puid))
        return;
    // An OK with no fields is an empty container, which the parser refuses
    // when nothing follows it.
    fuzz_input again = rebuilt(ipconf_msg_build_ok(puid, address));
    char *puid2 = nullptr, *address2 = nullptr;
    const int result = ipconf_msg_parse_ok(again.begin(), again.size(), &puid2, &address2);
    FUZZ_CHECK(result == (again.size() == TLV_HEADER_SIZE ? -1 : 0));
    FUZZ_CHECK(seen(puid) == seen(puid2) && seen(address) == seen(address2));
}
