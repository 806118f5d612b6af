// A whole CONF as the daemon reads it: the head, then interfaces until no
// bytes remain. What parses is built again (with a fresh challenged password)
// and must parse to the same values.
#include "ipconf_check.hpp"

FUZZ_TARGET(in, any_input)
{
    conf_auth auth{};
    char *host_name = nullptr;
    const int head = ipconf_msg_parse_conf(&in.cursor, &in.avail, &auth, &host_name);
    if (in.size() != 0)
        in.check_position();
    std::vector<interface_conf> interfaces;
    if (head != 0 || !read_interfaces(in, ipconf_msg_parse_get_interface_from_conf, interfaces))
        return;
    in.check_text(auth.puid, IPCONF_PUID_SIZE);
    in.check_text(auth.user, IPCONF_USER_MAX);
    in.check_text(host_name, IPCONF_TEXT_MAX);
    FUZZ_CHECK(auth.password == nullptr || in.check_field(auth.password) == IPCONF_PASS_SIZE);
    for (const auto &conf : interfaces)
        FUZZ_CHECK(conf.name == nullptr && conf.role == INTERFACE_ROLE_NOT_SET);
    if (!exact_writes_back(auth.puid) || !interfaces_write_back(interfaces))
        return;

    const uint8_t hash[20] = {0x5b, 0xaa, 0x61, 0xe4};
    const uint8_t challenge[4] = {1, 2, 3, 4};
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
