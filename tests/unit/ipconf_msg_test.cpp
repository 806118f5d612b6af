#include "ipconf/ipconf_msg.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "ipconf/auth.hpp"
#include "tlv_bytes.hpp"

namespace {

const std::string puid_text = "00:11:22:33:44:55";

std::string str(const char *text)
{
    return text == nullptr ? "(null)" : text;
}

// A whole INFO or CONF as a receiver reads it: the head, then one interface
// per call while bytes remain.
struct whole_message {
    product_info info{};
    uint8_t protocol = 0;
    conf_auth auth{};
    char *host_name = nullptr;
    std::vector<interface_conf> interfaces;
};

int parse_whole(bytes &data, whole_message &out)
{
    uint8_t *cursor = data.data();
    size_t avail = data.size();
    const bool info = tlv_get_envelope_type(data.data()) == "INFO"_tlv;
    if ((info ? ipconf_msg_parse_info(&cursor, &avail, &out.info, &out.protocol)
              : ipconf_msg_parse_conf(&cursor, &avail, &out.auth, &out.host_name)) != 0)
        return -1;
    while (avail != 0) {
        interface_conf conf{};
        if ((info ? ipconf_msg_parse_get_interface_from_info(&cursor, &avail, &conf)
                  : ipconf_msg_parse_get_interface_from_conf(&cursor, &avail, &conf)) != 0)
            return -1;
        out.interfaces.push_back(conf);
    }
    return 0;
}

// A received ipconf message, parsed by the parser for its envelope.
int parse_any(bytes data)
{
    char *a = nullptr, *b = nullptr, *c = nullptr;
    whole_message whole;
    switch (tlv_get_envelope_type(data.data())) {
    case "OK"_tlv:
        return ipconf_msg_parse_ok(data.data(), data.size(), &a, &b);
    case "ERR"_tlv:
        return ipconf_msg_parse_error(data.data(), data.size(), &a, &b, &c);
    default:
        return parse_whole(data, whole);
    }
}

bytes intf(const bytes &children, const bytes &ipv4 = {})
{
    return tlv("INTF", cat({children, tlv("IPV4", ipv4)}));
}

// The IPV4 child that makes an interface's IPV4 not empty.
const bytes mode_2 = tlv("MODE", {2});

char c_puid[] = "00:11:22:33:44:55", c_host[] = "host-a", c_id[] = "P-1", c_empty[] = "";

interface_conf view_conf(char *mac, char *name, int32_t role, int32_t link, int32_t mode, char *ipv4)
{
    return interface_conf{name, mac, role, link, mode, ipv4, nullptr, nullptr, nullptr, nullptr, nullptr};
}

} // namespace

TEST(IpconfMsgBuild, ExactLayouts)
{
    EXPECT_EQ(take(ipconf_msg_build_look()), tlv("LOOK"));

    // The worked example, byte for byte: 55 bytes.
    const bytes ok = cat({{0x4F, 0x4B, 0, 0, 0, 0, 0, 0x2F},
                          {0x50, 0x55, 0x49, 0x44, 0, 0, 0, 0x12},
                          text(puid_text),
                          {0x41, 0x44, 0x44, 0x52, 0, 0, 0, 0x0D},
                          text("192.168.1.10")});
    EXPECT_EQ(take(ipconf_msg_build_ok(puid_text.c_str(), "192.168.1.10")), ok);
    EXPECT_EQ(take(ipconf_msg_build_ok(nullptr, "")), tlv("OK"));
    EXPECT_EQ(
        take(ipconf_msg_build_error(puid_text.c_str(), "192.0.2.7", "bad")),
        tlv("ERR", cat({tlv("PUID", text(puid_text)), tlv("ADDR", text("192.0.2.7")), tlv("EMSG", text("bad"))})));

    // Nothing set: INFO is STAT and PROT (length 18), an interface an empty IPV4.
    product_info empty{c_empty, 1, c_empty, nullptr, c_empty, c_empty, c_empty, c_empty};
    tlv_writer *writer = ipconf_msg_open_info(&empty, IPCONF_PROTOCOL);
    const interface_conf nothing = view_conf(nullptr, c_empty, 3, 2, 3, nullptr);
    writer = ipconf_msg_add_interface_to_info(writer, &nothing);
    const bytes head = cat({tlv("STAT", {1}), tlv("PROT", {2})});
    EXPECT_EQ(take(ipconf_msg_close_info(&writer)), tlv("INFO", cat({head, intf({})})));
    EXPECT_EQ(writer, nullptr);

    // The same record gives NAME and ROLE in INFO only; MODE 0 is sent, 3 is not.
    interface_conf conf = view_conf(c_puid, c_host, 0, 1, 0, c_id);
    writer = ipconf_msg_add_interface_to_info(ipconf_msg_open_info(&empty, 2), &conf);
    conf.ipv4_mode = 3;
    writer = ipconf_msg_add_interface_to_info(writer, &conf);
    const bytes mac = tlv("MAC", text(puid_text)), addr = tlv("ADDR", text("P-1"));
    const bytes named = cat({mac, tlv("NAME", text("host-a")), tlv("ROLE", {0}), tlv("STAT", {1})});
    EXPECT_EQ(take(ipconf_msg_close_info(&writer)),
              tlv("INFO", cat({head, intf(named, cat({tlv("MODE", {0}), addr})), intf(named, addr)})));

    const uint8_t hash[SHA1_DIGEST_SIZE] = {1, 2, 3, 4, 5};
    const uint8_t challenge[4] = {9, 8, 7, 6};
    writer = ipconf_msg_open_conf(puid_text.c_str(), "admin", hash, challenge, 4);
    writer = ipconf_msg_set_conf_hostname(writer, "");
    writer = ipconf_msg_add_interface_to_conf(ipconf_msg_set_conf_hostname(writer, "new"), &conf);
    const bytes data = take(tlv_close_all(&writer));
    ASSERT_GE(data.size(), 76u);
    // PASS holds what the device's check accepts.
    const bytes pass(data.begin() + 56, data.begin() + 76);
    EXPECT_EQ(check_password(challenge, 4, hash, pass.data()), 0);
    EXPECT_EQ(data, tlv("CONF", cat({tlv("PUID", text(puid_text)), tlv("USER", text("admin")), tlv("PASS", pass),
                                     tlv("HNAM", text("new")), intf(cat({mac, tlv("STAT", {1})}), addr)})));
}

TEST(IpconfMsgParse, FieldLimitsOnBothSides)
{
    expect_catalogue_sizes<int (*)(const bytes &)>(
        element_family::ipconf, {[](const bytes &f) { return parse_any(tlv("INFO", f)); },
                                 [](const bytes &f) { return parse_any(tlv("INFO", intf(f, mode_2))); },
                                 [](const bytes &f) { return parse_any(tlv("CONF", f)); },
                                 [](const bytes &f) { return parse_any(tlv("OK", f)); },
                                 [](const bytes &f) { return parse_any(tlv("ERR", f)); }});
    const std::tuple<const char *, bytes, int> cases[] = {
        {"NAME in a CONF interface", tlv("CONF", intf(tlv("NAME", text("eth0")), mode_2)), -1},
        {"ROLE in a CONF interface", tlv("CONF", intf(tlv("ROLE", {0}), mode_2)), -1},
        {"ROLE in an INFO interface", tlv("INFO", intf(tlv("ROLE", {0}), mode_2)), 0},
        {"text without its zero", tlv("INFO", tlv("HNAM", {'a', 'b'})), -1},
        {"empty text", tlv("OK", tlv("ADDR")), -1},
        {"empty STAT", tlv("INFO", tlv("STAT")), -1},
        {"empty INTF at the end", tlv("INFO", tlv("INTF")), -1},
        {"OK with nothing in it, nothing after", tlv("OK"), -1},
    };
    for (const auto &[what, message, expected] : cases)
        EXPECT_EQ(parse_any(message), expected) << what;
}

TEST(IpconfMsgParse, UnknownElementsOrderAndRepeats)
{
    const bytes unknown = tlv("XYZW", text("??"));
    bytes data = tlv("INFO", cat({tlv("HNAM", text("h1")), unknown, tlv("PNAM", text("p")), tlv("HNAM", text("h2")),
                                  intf(cat({unknown, tlv("MAC", text(puid_text))}), cat({unknown, tlv("MODE", {2})})),
                                  intf(tlv("STAT", {1}), mode_2)}));
    whole_message got;
    ASSERT_EQ(parse_whole(data, got), 0);
    EXPECT_EQ(str(got.info.host_name) + str(got.info.product_name), "h2p"); // the last HNAM wins
    ASSERT_EQ(got.interfaces.size(), 2U);
    EXPECT_EQ(str(got.interfaces[0].mac), puid_text);
    EXPECT_EQ(got.interfaces[0].ipv4_mode, 2);
    EXPECT_EQ(got.interfaces[1].link_state, 1);

    char *puid = nullptr, *address = nullptr, *text_out = nullptr;
    data = tlv("ERR", cat({unknown, tlv("EMSG", text("e")), tlv("LOOK"), tlv("ADDR", text("a"))}));
    EXPECT_EQ(ipconf_msg_parse_error(data.data(), data.size(), &puid, &address, &text_out), 0);
    EXPECT_EQ(str(puid) + str(address) + str(text_out), "(null)ae");

    // The head stops at the first INTF: a field after it is not part of the
    // head, and the interface walk refuses it.
    data = tlv("INFO", cat({tlv("STAT", {0}), intf({}, mode_2), tlv("HNAM", text("late"))}));
    got = {};
    EXPECT_EQ(parse_whole(data, got), -1);
    EXPECT_EQ(got.info.host_name, nullptr);
    EXPECT_EQ(got.interfaces.size(), 1U);
}
