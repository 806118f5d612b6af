// The ipconf family: every input goes to each parser as its receiver reads
// it. LOOK is accepted exactly when its payload lies within the data; the
// PUID of any message, OK, ERR, and a whole INFO or CONF (the head, then
// interfaces until no bytes remain) keep the common checks, and what parses
// is built again and must parse to the same values.
#include "ipconf/auth_msg.hpp"
#include "ipconf_check.hpp"

namespace {

constexpr auto ipconf = element_family::ipconf;

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

// An OK or ERR with no fields is an empty container, which the parser refuses
// when nothing follows it.
void ok(fuzz_input &in)
{
    char *puid = nullptr, *address = nullptr;
    if (ipconf_msg_parse_ok(in.begin(), in.size(), &puid, &address) != 0)
        return;
    in.check_elements(ipconf, puid, address);
    if (!exact_writes_back(puid))
        return;
    fuzz_input again = rebuilt(ipconf_msg_build_ok(puid, address));
    char *puid2 = nullptr, *address2 = nullptr;
    const int result = ipconf_msg_parse_ok(again.begin(), again.size(), &puid2, &address2);
    FUZZ_CHECK(result == (again.size() == TLV_HEADER_SIZE ? -1 : 0));
    FUZZ_CHECK(seen(puid) == seen(puid2) && seen(address) == seen(address2));
}

void error(fuzz_input &in)
{
    char *puid = nullptr, *address = nullptr, *text = nullptr;
    if (ipconf_msg_parse_error(in.begin(), in.size(), &puid, &address, &text) != 0)
        return;
    in.check_elements(ipconf, puid, address, text);
    if (!exact_writes_back(puid))
        return;
    fuzz_input again = rebuilt(ipconf_msg_build_error(puid, address, text));
    char *puid2 = nullptr, *address2 = nullptr, *text2 = nullptr;
    const int result = ipconf_msg_parse_error(again.begin(), again.size(), &puid2, &address2, &text2);
    FUZZ_CHECK(result == (again.size() == TLV_HEADER_SIZE ? -1 : 0));
    FUZZ_CHECK(seen(puid) == seen(puid2) && seen(address) == seen(address2) && seen(text) == seen(text2));
}

void info(fuzz_input &in)
{
    product_info info{};
    uint8_t protocol = 0;
    const int head = ipconf_msg_parse_info(&in.cursor, &in.avail, &info, &protocol);
    if (in.size() != 0)
        in.check_position();
    std::vector<interface_conf> interfaces;
    if (head != 0 || !read_interfaces(in, ipconf_msg_parse_get_interface_from_info, interfaces))
        return;
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
    for (const auto &conf : interfaces) {
        interface_conf back{};
        FUZZ_CHECK(ipconf_msg_parse_get_interface_from_info(&again.cursor, &again.avail, &back) == 0);
        check_same_interface(conf, back, true);
    }
    FUZZ_CHECK(again.avail == 0);
}

// Built again with a fresh challenged password.
void conf(fuzz_input &in)
{
    conf_auth auth{};
    char *host_name = nullptr;
    const int head = ipconf_msg_parse_conf(&in.cursor, &in.avail, &auth, &host_name);
    if (in.size() != 0)
        in.check_position();
    std::vector<interface_conf> interfaces;
    if (head != 0 || !read_interfaces(in, ipconf_msg_parse_get_interface_from_conf, interfaces))
        return;
    in.check_elements(ipconf, auth.puid, auth.user, host_name);
    in.check_element(auth.password, ipconf);
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
    for (const auto &conf : interfaces) {
        interface_conf back{};
        FUZZ_CHECK(ipconf_msg_parse_get_interface_from_conf(&again.cursor, &again.avail, &back) == 0);
        check_same_interface(conf, back, false);
    }
    FUZZ_CHECK(again.avail == 0);
}

} // namespace

FUZZ_TARGET(in, any_input)
{
    for (auto parse : {look, puid, ok, error, info, conf}) {
        in.rewind();
        parse(in);
    }
}
