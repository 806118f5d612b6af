// Checks shared by the INFO and CONF cases of the ipconf fuzzer: reading every
// interface the way a receiver does, and comparing interface views.
#pragma once

#include <algorithm>
#include <vector>

#include "check.hpp"
#include "ipconf/ipconf_msg.hpp"

using interface_parser = int (*)(uint8_t **, size_t *, interface_conf *);

// Reads interfaces while bytes remain; each success must consume bytes, and every
// text must lie inside the input. False when one is refused.
inline bool read_interfaces(fuzz_input &in, interface_parser parse, std::vector<interface_conf> &out)
{
    while (in.avail != 0) {
        const size_t before = in.avail;
        interface_conf conf{};
        const int result = parse(&in.cursor, &in.avail, &conf);
        in.check_position();
        FUZZ_CHECK(result != 0 || in.avail < before);
        if (result != 0)
            return false;
        in.check_elements(element_family::ipconf, conf.mac, conf.name, conf.ipv4, conf.netmask, conf.gateway,
                          conf.broadcast, conf.dns, conf.wins);
        for (int32_t number : {conf.role, conf.link_state, conf.ipv4_mode})
            FUZZ_CHECK(number >= 0 && number <= 255);
        out.push_back(conf);
    }
    return true;
}

inline bool interfaces_write_back(const std::vector<interface_conf> &interfaces)
{
    return std::ranges::all_of(interfaces, [](const interface_conf &conf) { return exact_writes_back(conf.mac); });
}

// Same values as a consumer sees them; NAME and ROLE only where they travel.
inline void check_same_interface(const interface_conf &a, const interface_conf &b, bool with_name_and_role)
{
    using c = interface_conf;
    FUZZ_CHECK(same_texts(a, b, &c::mac, &c::ipv4, &c::netmask, &c::gateway, &c::broadcast, &c::dns, &c::wins));
    FUZZ_CHECK(!with_name_and_role || (seen(a.name) == seen(b.name) && a.role == b.role));
    FUZZ_CHECK(a.link_state == b.link_state && a.ipv4_mode == b.ipv4_mode);
}
