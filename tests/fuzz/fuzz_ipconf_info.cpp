// A whole INFO as the browse client reads it: the head, then interfaces until
// no bytes remain. What parses is built again and must parse to the same.
#include "ipconf_check.hpp"

FUZZ_TARGET(in, any_input)
{
    product_info info{};
    uint8_t protocol = 0;
    const int head = ipconf_msg_parse_info(&in.cursor, &in.avail, &info, &protocol);
    if (in.size() != 0)
        in.check_position();
    std::vector<interface_conf> interfaces;
    if (head != 0 || !read_interfaces(in, ipconf_msg_parse_get_interface_from_info, interfaces))
        return;
    in.check_text(info.puid, IPCONF_PUID_SIZE);
    for (const char *text : {info.host_name, info.product_name, info.product_id, info.hardware_id})
        in.check_text(text, IPCONF_TEXT_MAX);
    in.check_text(info.hardware_revision, IPCONF_SHORT_TEXT_MAX);
    in.check_text(info.system_version, IPCONF_SHORT_TEXT_MAX);
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
