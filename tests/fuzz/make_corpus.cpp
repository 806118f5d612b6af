// Writes the seed corpus of the message fuzzers from the builders: every
// message type, with and without its optional fields, several interfaces.
// Usage: make_fuzz_corpus <corpus folder>. Existing seeds of the same name are
// overwritten; other files (kept crash inputs) are left alone.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ipconf/auth_msg.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "notifier/notif_msg.hpp"

namespace {

std::filesystem::path root;
std::vector<std::vector<uint8_t>> every_message;

// A message parser's seeds lie in its family's folder: "ipconf_info" seeds
// go to ipconf/info/.
void write_seed(const std::string &target, const std::string &name, const uint8_t *data, size_t size)
{
    std::filesystem::path folder = root / target;
    for (const char *family : {"ipconf_", "auth_", "notif_"})
        if (target.starts_with(family))
            folder = root / target.substr(0, target.find('_')) / target.substr(target.find('_') + 1);
    std::filesystem::create_directories(folder);
    std::ofstream(folder / name, std::ios::binary).write(reinterpret_cast<const char *>(data), size);
}

// Takes a built message: one seed for the target and one for the dump.
void seed(const std::string &target, const std::string &name, uint8_t *message)
{
    if (message == nullptr) {
        std::fprintf(stderr, "cannot build %s/%s\n", target.c_str(), name.c_str());
        std::exit(1);
    }
    const size_t size = tlv_get_size(message);
    write_seed(target, name, message, size);
    write_seed("tlv_dump", target + "_" + name, message, size);
    every_message.emplace_back(message, message + size);
    std::free(message);
}

char puid[] = "02:00:5E:10:00:01", mac2[] = "02:00:5E:10:00:02", host[] = "cam-hall", product[] = "Orvane Camera",
     product_id[] = "OC-200", hardware[] = "HW-7", revision[] = "B", version[] = "2.4.1", eth0[] = "eth0",
     eth1[] = "eth1", address[] = "192.0.2.10", netmask[] = "255.255.255.0", gateway[] = "192.0.2.1",
     broadcast[] = "192.0.2.255", dns[] = "198.51.100.53", empty[] = "";

void ipconf_seeds()
{
    seed("ipconf_look", "look", ipconf_msg_build_look());
    const char payload[] = "ignored";
    seed("ipconf_look", "look_with_payload", tlv_single_raw("LOOK"_tlv, payload, sizeof payload));

    product_info info{puid, 0, host, product, product_id, hardware, revision, version};
    product_info bare{empty, 1, empty, empty, empty, empty, empty, empty};
    const interface_conf full = {eth0, puid, 0, 1, 0, address, netmask, gateway, broadcast, dns, dns};
    const interface_conf interfaces[] = {full, {eth1, mac2, 3, 0, 2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}, full};
    for (size_t count = 0; count <= 3; ++count) {
        tlv_writer *writer = ipconf_msg_open_info(count % 2 == 0 ? &info : &bare, IPCONF_PROTOCOL);
        for (size_t i = 0; i < count; ++i)
            writer = ipconf_msg_add_interface_to_info(writer, &interfaces[i]);
        seed("ipconf_info", "info_" + std::to_string(count) + "_interfaces", ipconf_msg_close_info(&writer));
    }

    const uint8_t hash[20] = {0x5b, 0xaa, 0x61, 0xe4, 0xc9};
    const uint8_t challenge[4] = {0x11, 0x22, 0x33, 0x44};
    for (size_t count = 0; count <= 2; ++count) {
        const bool full = count != 1;
        tlv_writer *writer = ipconf_msg_open_conf(full ? puid : nullptr, full ? "admin" : nullptr, hash, challenge, 4);
        writer = ipconf_msg_set_conf_hostname(writer, full ? "cam-door" : nullptr);
        for (size_t i = 0; i < count; ++i)
            writer = ipconf_msg_add_interface_to_conf(writer, &interfaces[i]);
        seed("ipconf_conf", "conf_" + std::to_string(count) + "_interfaces", tlv_close_all(&writer));
    }

    seed("ipconf_ok", "ok", ipconf_msg_build_ok(puid, address));
    seed("ipconf_ok", "ok_puid_only", ipconf_msg_build_ok(puid, nullptr));
    seed("ipconf_error", "error", ipconf_msg_build_error(puid, address, "timeout: the new configuration is not set"));
    seed("ipconf_error", "error_text_only", ipconf_msg_build_error(nullptr, nullptr, "bad login"));
}

void auth_seeds()
{
    seed("auth_challenge_request", "request", auth_msg_build_challenge_request(puid));
    seed("auth_challenge_request", "request_bare", auth_msg_build_challenge_request(nullptr));
    const uint8_t challenge[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    seed("auth_challenge", "challenge", auth_msg_build_challenge(challenge, 4, puid, address));
    seed("auth_challenge", "challenge_bare", auth_msg_build_challenge(challenge, 4, nullptr, nullptr));
    const uint8_t hash[20] = {1, 2, 3, 4};
    seed("auth_login", "login", auth_msg_build_login("admin", challenge, 4, hash));
    seed("auth_login", "ok", auth_msg_build_ok());
    seed("auth_login", "error", auth_msg_build_error("wrong password"));
}

void notif_seeds()
{
    // With a user and 0, 1, 2 pairs, then without a user.
    for (int n = 0; n < 6; ++n) {
        const bool with_user = n < 3;
        const int pairs = n % 3;
        tlv_writer *writer =
            notif_msg_open_event("storage", "E17", "2024-05-01T10:00:00Z", with_user ? "operator" : nullptr);
        for (int i = 0; i < pairs; ++i)
            writer = notif_msg_add_info(writer, i == 0 ? "disk" : "free", i == 0 ? "sda" : "3%");
        uint8_t *message = notif_msg_close_event(writer);
        const std::string name = std::string(with_user ? "event_user_" : "event_") + std::to_string(pairs);
        // The pairs alone, as notif_msg_parse_get_info meets them.
        uint8_t *cursor = message;
        size_t avail = message == nullptr ? 0 : tlv_get_size(message);
        char *modl, *id, *time, *user;
        if (pairs > 0 && notif_msg_parse_event(&cursor, &avail, &modl, &id, &time, &user) == 0)
            write_seed("notif_get_info", name, cursor, avail);
        if (message != nullptr && with_user)
            write_seed("notif_event_user", name, message, tlv_get_size(message));
        seed("notif_event", name, message);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_corpus <corpus folder>\n");
        return 2;
    }
    root = argv[1];
    ipconf_seeds();
    auth_seeds();
    notif_seeds();
    // Any message carries a PUID or not: all of them seed the PUID finder.
    for (size_t i = 0; i < every_message.size(); ++i)
        write_seed("ipconf_puid", "message_" + std::to_string(i), every_message[i].data(), every_message[i].size());
    return 0;
}
