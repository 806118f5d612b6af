// A whole INFO as the browse client reads it: the head, then interfaces until
// no bytes remain. What parses is built again and must parse to the same.
#include <memory>

#include "ipconf_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in(data, size);
    uint8_t *cursor = in.begin();
    size_t avail = in.size();
    product_info info{};
    uint8_t protocol = 0;
    const int head = ipconf_msg_parse_info(&cursor, &avail, &info, &protocol);
    if (in.size() != 0)
        in.check_position(cursor, avail);
    std::vector<interface_conf> interfaces;
    if (head != 0 || !read_interfaces(in, &cursor, &avail, ipconf_msg_parse_get_interface_from_info, interfaces))
        return 0;
    in.check_text(info.puid, IPCONF_PUID_SIZE);
    for (const char *text : {info.host_name, info.product_name, info.product_id, info.hardware_id})
        in.check_text(text, IPCONF_TEXT_MAX);
    in.check_text(info.hardware_revision, IPCONF_SHORT_TEXT_MAX);
    in.check_text(info.system_version, IPCONF_SHORT_TEXT_MAX);
    if (!exact_writes_back(info.puid) || !interfaces_write_back(interfaces))
        return 0;

    tlv_writer *writer = ipconf_msg_open_info(&info, protocol);
    for (const auto &conf : interfaces)
        writer = ipconf_msg_add_interface_to_info(writer, &conf);
    std::unique_ptr<uint8_t, free_message> built(ipconf_msg_close_info(&writer));
    FUZZ_CHECK(built != nullptr);
    uint8_t *again = built.get();
    size_t left = tlv_get_size(again);
    product_info info2{};
    uint8_t protocol2 = 0;
    FUZZ_CHECK(ipconf_msg_parse_info(&again, &left, &info2, &protocol2) == 0);
    FUZZ_CHECK(seen(info.puid) == seen(info2.puid) && seen(info.host_name) == seen(info2.host_name));
    FUZZ_CHECK(seen(info.product_name) == seen(info2.product_name));
    FUZZ_CHECK(seen(info.product_id) == seen(info2.product_id));
    FUZZ_CHECK(seen(info.hardware_id) == seen(info2.hardware_id));
    FUZZ_CHECK(seen(info.hardware_revision) == seen(info2.hardware_revision));
    FUZZ_CHECK(seen(info.system_version) == seen(info2.system_version));
    FUZZ_CHECK(info.mode == info2.mode && protocol == protocol2);
    for (const auto &conf : interfaces) {
        interface_conf back{};
        FUZZ_CHECK(ipconf_msg_parse_get_interface_from_info(&again, &left, &back) == 0);
        check_same_interface(conf, back, true);
    }
    FUZZ_CHECK(left == 0);
    return 0;
}
