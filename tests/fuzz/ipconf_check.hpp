// Checks shared by the whole-INFO and whole-CONF fuzzers: reading every
// interface the way a receiver does, and comparing interface views.
#pragma once

#include <vector>

#include "check.hpp"
#include "ipconf/ipconf_msg.hpp"

using interface_parser = int (*)(uint8_t **, size_t *, interface_conf *);

// Reads interfaces while bytes remain; each success must consume bytes, and every
// text must lie inside the input. False when one is refused.
inline bool read_interfaces(fuzz_input &in, uint8_t **cursor, size_t *avail, interface_parser parse,
                            std::vector<interface_conf> &out)
{
    while (*avail != 0) {
        const size_t before = *avail;
        interface_conf conf{};
        const int result = parse(cursor, avail, &conf);
        in.check_position(*cursor, *avail);
        FUZZ_CHECK(result != 0 || *avail < before);
        if (result != 0)
            return false;
        in.check_text(conf.mac, IPCONF_MAC_SIZE);
        FUZZ_CHECK(conf.mac == nullptr || field_length(conf.mac) == IPCONF_MAC_SIZE);
        in.check_text(conf.name, IPCONF_NAME_MAX);
        for (const char *text : {conf.ipv4, conf.netmask, conf.gateway, conf.broadcast, conf.dns, conf.wins})
            in.check_text(text, IPCONF_ADDRESS_MAX);
        for (int32_t number : {conf.role, conf.link_state, conf.ipv4_mode})
            FUZZ_CHECK(number >= 0 && number <= 255);
        out.push_back(conf);
    }
    return true;
}

inline bool interfaces_write_back(const std::vector<interface_conf> &interfaces)
{
    for (const auto &conf : interfaces)
        if (!exact_writes_back(conf.mac))
            return false;
    return true;
}

// Same values as a consumer sees them; NAME and ROLE only where they travel.
inline void check_same_interface(const interface_conf &a, const interface_conf &b, bool with_name_and_role)
{
    FUZZ_CHECK(seen(a.mac) == seen(b.mac));
    if (with_name_and_role) {
        FUZZ_CHECK(seen(a.name) == seen(b.name));
        FUZZ_CHECK(a.role == b.role);
    }
    FUZZ_CHECK(a.link_state == b.link_state && a.ipv4_mode == b.ipv4_mode);
    FUZZ_CHECK(seen(a.ipv4) == seen(b.ipv4) && seen(a.netmask) == seen(b.netmask));
    FUZZ_CHECK(seen(a.gateway) == seen(b.gateway) && seen(a.broadcast) == seen(b.broadcast));
    FUZZ_CHECK(seen(a.dns) == seen(b.dns) && seen(a.wins) == seen(b.wins));
}
