// ERR as a configurator reads it; what parses is built again and compared.
#include <memory>

#include "check.hpp"
#include "ipconf/ipconf_msg.hpp"

FUZZ_TARGET(in, any_input)
{
    char *puid = nullptr, *address = nullptr, *text = nullptr;
    if (ipconf_msg_parse_error(in.begin(), in.size(), &puid, &address, &text) != 0)
        return;
    in.check_text(puid, IPCONF_PUID_SIZE);
    in.check_text(address, IPCONF_ADDRESS_MAX);
    in.check_text(text, UINT32_MAX);
    if (!exact_writes_back(puid))
        return;
    fuzz_input again = rebuilt(ipconf_msg_build_error(puid, address, text));
    char *puid2 = nullptr, *address2 = nullptr, *text2 = nullptr;
    const int result = ipconf_msg_parse_error(again.begin(), again.size(), &puid2, &address2, &text2);
    FUZZ_CHECK(result == (again.size() == TLV_HEADER_SIZE ? -1 : 0));
    FUZZ_CHECK(seen(puid) == seen(puid2) && seen(address) == seen(address2) && seen(text) == seen(text2));
}
