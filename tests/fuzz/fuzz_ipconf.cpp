// The ipconf family: every input goes to each parser as its receiver reads
// it. LOOK is accepted exactly when its payload lies within the data, and so
// are an OK, ERR and a whole INFO or CONF (the head, then interfaces until no
// bytes remain) only when they do; these and the PUID of any message keep the
// common checks, and what parses is built again and must parse to the same
// values.
#include <algorithm>
#include <vector>

#include "check.hpp"
#include "ipconf/auth_msg.hpp"
#include "ipconf/ipconf_msg.hpp"

namespace {

constexpr auto ipconf = element_family::ipconf;

using interface_parser = int (*)(uint8_t **, size_t *, interface_conf *);

// Reads interfaces while bytes remain; each success must consume bytes, and every
// text must lie inside the input. False when one is refused.
bool read_interfaces(fuzz_input &in, interface_parser parse, std::vector<interface_conf> &out)
{
    while (in.avail != 0) {
        const size_t before = in.avail;
        interface_conf conf{};
        const int result = parse(&in.cursor, &in.avail, &conf);
        in.check_position();
        FUZZ_CHECK(result != 0 || in.avail < before);
        if (result != 0)
            return false;
        in.check_elements(ipconf, conf.mac, conf.name, conf.ipv4, conf.netmask, conf.gateway, conf.broadcast, conf.dns,
                          conf.wins);
        for (int32_t number : {conf.role, conf.link_state, conf.ipv4_mode})
            FUZZ_CHECK(number >= 0 && number <= 255);
        out.push_back(conf);
    }
    return true;
}

bool interfaces_write_back(const std::vector<interface_conf> &interfaces)
{
    return std::ranges::all_of(interfaces, [](const interface_conf &conf) { return exact_writes_back(conf.mac); });
}

// The interfaces of a rebuilt message read back as the same values as a
// consumer sees them (NAME and ROLE only where they travel), to its end.
void check_interfaces_back(fuzz_input &again, interface_parser parse, const std::vector<interface_conf> &sent,
                           bool with_name_and_role)
{
    std::vector<interface_conf> back;
    FUZZ_CHECK(read_interfaces(again, parse, back) && back.size() == sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        const interface_conf &a = sent[i], &b = back[i];
        using c = interface_conf;
        FUZZ_CHECK(same_texts(a, b, &c::mac, &c::ipv4, &c::netmask, &c::gateway, &c::broadcast, &c::dns, &c::wins));
        FUZZ_CHECK(!with_name_and_role || (seen(a.name) == seen(b.name) && a.role == b.role));
        FUZZ_CHECK(a.link_state == b.link_state && a.ipv4_mode == b.ipv4_mode);
    }
}

// A message accepted whole lies within the data: a cut one is refused.
void check_whole(fuzz_input &in)
{
    FUZZ_CHECK(in.size() >= TLV_HEADER_SIZE && tlv_get_size(in.begin()) <= in.size());
}

void look(fuzz_input &in)
{
    const size_t size = in.size();
    const bool look = size >= TLV_HEADER_SIZE && tlv_get_envelope_type(in.begin()) == "LOOK"_tlv &&
                      tlv_get_size(in.begin()) - TLV_HEADER_SIZE <= size - TLV_HEADER_SIZE;
    FUZZ_CHECK(ipconf_msg_parse_look(in.begin(), in.size()) == (look ? 0 : -1));
}

// Found, the PUID yields itself from every request built with it.
void puid(fuzz_input &in)
{
    char *puid = nullptr;
    if (ipconf_msg_parse_get_puid(in.begin(), in.size(), &puid) != 0) {
        FUZZ_CHECK(puid == nullptr);
        return;
    }
    FUZZ_CHECK(puid != nullptr && tlv_get_envelope_type(puid - TLV_HEADER_SIZE) == "PUID"_tlv);
    in.check_element(puid, ipconf);
    if (!writes_back(puid))
        return;
    fuzz_input request = rebuilt(auth_msg_build_challenge_request(puid));
    char *again = nullptr;
    FUZZ_CHECK(ipconf_msg_parse_get_puid(request.begin(), request.size(), &again) == 0);
    FUZZ_CHECK(seen(again) == seen(puid));
}

// OK, then ERR (whose third text is the error); with no fields one is an
// empty container, which the parser refuses when nothing follows it.
int parse_reply(fuzz_input &in, bool error, char *(&texts)[3])
{
    return error ? ipconf_msg_parse_error(in.begin(), in.size(), &texts[0], &texts[1], &texts[2])
                 : ipconf_msg_parse_ok(in.begin(), in.size(), &texts[0], &texts[1]);
}

void reply(fuzz_input &in)
{
    for (const bool error : {false, true}) {
        char *texts[3] = {}, *again_texts[3] = {};
        if (parse_reply(in, error, texts) != 0)
            continue;
        check_whole(in);
        in.check_elements(ipconf, texts[0], texts[1], texts[2]);
        if (!exact_writes_back(texts[0]))
            continue;
        fuzz_input again = rebuilt(error ? ipconf_msg_build_error(texts[0], texts[1], texts[2])
                                         : ipconf_msg_build_ok(texts[0], texts[1]));
        FUZZ_CHECK(parse_reply(again, error, again_texts) == (again.size() == TLV_HEADER_SIZE ? -1 : 0));
        for (int i = 0; i < 3; ++i)
            FUZZ_CHECK(seen(texts[i]) == seen(again_texts[i]));
    }
}

void info(fuzz_input &in)
{
    product_info info{};
    uint8_t protocol = 0;
    const int head = in.parse(ipconf_msg_parse_info, &info, &protocol);
    std::vector<interface_conf> interfaces;
    if (head != 0 || !read_interfaces(in, ipconf_msg_parse_get_interface_from_info, interfaces))
        return;
    check_whole(in);
    in.check_elements(ipconf, info.puid, info.host_name, info.product_name, info.product_id, info.hardware_id,
                      info.hardware_revision, info.system_version);
    if (!exact_writes_back(info.puid) || !interfaces_write_back(interfaces))
        return;

    tlv_writer *writer = ipconf_msg_open_info(&info, protocol);
    for (const auto &conf : interfaces)
        writer = ipconf_msg_add_interface_to_info(writer, &conf);
    fuzz_input again = rebuilt(ipconf_msg_close_info(&writer));
    product_info info2{};
    uint8_t protocol2 = 0;
    FUZZ_CHECK(ipconf_msg_parse_info(&again.cursor, &again.avail, &info2, &protocol2) == 0);
    using p = product_info;
    FUZZ_CHECK(same_texts(info, info2, &p::puid, &p::host_name, &p::product_name, &p::product_id, &p::hardware_id,
                          &p::hardware_revision, &p::system_version));
    FUZZ_CHECK(info.mode == info2.mode && protocol == protocol2);
    check_interfaces_back(again, ipconf_msg_parse_get_interface_from_info, interfaces, true);
}

// Built again with a fresh challenged password.
void conf(fuzz_input &in)
{
    conf_auth auth{};
    char *host_name = nullptr;
    const int head = in.parse(ipconf_msg_parse_conf, &auth, &host_name);
    std::vector<interface_conf> interfaces;
    if (head != 0 || !read_interfaces(in, ipconf_msg_parse_get_interface_from_conf, interfaces))
        return;
    check_whole(in);
    in.check_elements(ipconf, auth.puid, auth.user, host_name, auth.password);
    for (const auto &conf : interfaces)
        FUZZ_CHECK(conf.name == nullptr && conf.role == INTERFACE_ROLE_NOT_SET);
    if (!exact_writes_back(auth.puid) || !interfaces_write_back(interfaces))
        return;

    const uint8_t hash[SHA1_DIGEST_SIZE] = {0x5b, 0xaa, 0x61, 0xe4};
    const uint8_t challenge[AUTH_CHALLENGE_SIZE] = {1, 2, 3, 4};
    tlv_writer *writer = ipconf_msg_open_conf(auth.puid, auth.user, hash, challenge, sizeof challenge);
    writer = ipconf_msg_set_conf_hostname(writer, host_name);
    for (const auto &conf : interfaces)
        writer = ipconf_msg_add_interface_to_conf(writer, &conf);
    fuzz_input again = rebuilt(ipconf_msg_close_info(&writer));
    conf_auth auth2{};
    char *host_name2 = nullptr;
    FUZZ_CHECK(ipconf_msg_parse_conf(&again.cursor, &again.avail, &auth2, &host_name2) == 0);
    FUZZ_CHECK(seen(auth.puid) == seen(auth2.puid) && seen(auth.user) == seen(auth2.user));
    FUZZ_CHECK(seen(host_name) == seen(host_name2) && auth2.password != nullptr);
    check_interfaces_back(again, ipconf_msg_parse_get_interface_from_conf, interfaces, false);
}

} // namespace

FUZZ_TARGET(in)
{
    for (auto parse : {look, puid, reply, info, conf})
        parse(in);
}
