#include "tools/orvanectl/radio.hpp"
#include "tools/orvanectl/cli.hpp"
#include "tools/orvanectl/decode.hpp"
#include "tools/orvanectl/device.hpp"
#include "tools/orvanectl/port.hpp"

#include "ipconf/auth_msg.hpp"
#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "util/io.hpp"
#include "util/owned.hpp"
#include "util/sha1.hpp"
#include "util/tlv.hpp"

#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>

namespace ctl
{

namespace
{

using message_ptr = malloc_ptr<uint8_t>;
constexpr int challenge_wait_ms = 5000;
// How long one port is listened on before the next gets its turn.
constexpr int slice_ms = 50;

struct port_on {
    std::string interface; // "" for every interface
    ipconf_port port;
};

// One port per interface given, or one for all. Refusals become `failure`.
bool open_ports(const std::vector<std::string> &interfaces, std::vector<std::unique_ptr<port_on>> &ports,
                std::string &failure)
{
    refusal_capture capture(failure);
    std::vector<std::string> names = interfaces.empty() ? std::vector<std::string>{""} : interfaces;
    for (const auto &name : names) {
        auto entry = std::make_unique<port_on>();
        entry->interface = name;
        if (!entry->port.open(name))
            return false;
        ports.push_back(std::move(entry));
    }
    return true;
}

bool broadcast_all(std::vector<std::unique_ptr<port_on>> &ports, const uint8_t *message, std::string &failure)
{
    refusal_capture capture(failure);
    for (auto &entry : ports)
        if (!message || !entry->port.broadcast(message))
            return false;
    return true;
}

// The next datagram on any port before `until`: 1, 0 at the deadline, -1.
int receive_any(std::vector<std::unique_ptr<port_on>> &ports, deadline until, datagram &got, std::string &on)
{
    std::string ignored;
    refusal_capture capture(ignored);
    while (std::chrono::steady_clock::now() < until) {
        for (auto &entry : ports) {
            int result = entry->port.receive(std::min(until, deadline_after(slice_ms)), got);
            if (result != 0) {
                on = entry->interface;
                return result;
            }
        }
    }
    return 0;
}

json interface_or_null(const std::string &name)
{
    return name.empty() ? json(nullptr) : json(name);
}

message_ptr build_conf(const configure_order &order, const std::array<uint8_t, SHA1_DIGEST_SIZE> &hash,
                       const std::vector<uint8_t> &challenge)
{
    tlv_writer *writer =
        ipconf_msg_open_conf(order.puid.c_str(), order.user.c_str(), hash.data(), challenge.data(), challenge.size());
    if (writer && !order.host_name.empty())
        writer = ipconf_msg_set_conf_hostname(writer, order.host_name.c_str());
    auto text = [](const std::string &value) { return value.empty() ? nullptr : const_cast<char *>(value.c_str()); };
    for (const auto &entry : order.interfaces) {
        if (!writer)
            break;
        interface_conf conf{};
        conf.mac = text(entry.mac);
        conf.role = INTERFACE_ROLE_NOT_SET;
        conf.link_state = LINK_STATE_NOT_SET;
        conf.ipv4_mode = entry.method == "static" ? IPV4_STATIC : entry.method == "dhcp" ? IPV4_DHCP : IPV4_MODE_NOT_SET;
        conf.ipv4 = text(entry.address);
        conf.netmask = text(entry.netmask);
        conf.gateway = text(entry.gateway);
        conf.dns = text(entry.dns);
        conf.wins = text(entry.wins);
        writer = ipconf_msg_add_interface_to_conf(writer, &conf);
    }
    if (!writer)
        return nullptr;
    return message_ptr(tlv_close_all(&writer));
}

enum class answer { none, challenge, ok, error };

// A message from the device `puid` meant for this host.
answer classify(datagram &got, const std::string &puid, const std::vector<std::string> &locals,
                std::vector<uint8_t> &challenge, std::string &error_text)
{
    char *from = nullptr;
    char *to = nullptr;
    if (got.type == "CHAL"_tlv) {
        uint8_t *cursor = got.data.data();
        size_t avail = got.size;
        uint8_t *value = nullptr;
        size_t length = 0;
        if (auth_msg_parse_challenge(&cursor, &avail, &value, &length, &from, &to) != 0 || length == 0 ||
            puid != element_text(from) || !is_local_address(locals, std::string(element_text(to)).c_str()))
            return answer::none;
        challenge.assign(value, value + length);
        return answer::challenge;
    }
    if (got.type == "OK"_tlv) {
        if (ipconf_msg_parse_ok(got.data.data(), got.size, &from, &to) != 0 || !from || puid != from ||
            (to && !is_local_address(locals, to)))
            return answer::none;
        return answer::ok;
    }
    if (got.type == "ERR"_tlv) {
        char *text = nullptr;
        if (ipconf_msg_parse_error(got.data.data(), got.size, &from, &to, &text) != 0 || !from || puid != from ||
            (to && !is_local_address(locals, to)))
            return answer::none;
        error_text = text ? text : "";
        return answer::error;
    }
    return answer::none;
}

} // namespace

bool radio_discover(const std::vector<std::string> &interfaces, int wait_ms, json &devices, std::string &failure)
{
    std::vector<std::unique_ptr<port_on>> ports;
    message_ptr look(ipconf_msg_build_look());
    if (!open_ports(interfaces, ports, failure) || !broadcast_all(ports, look.get(), failure))
        return false;
    device_list found;
    deadline until = deadline_after(wait_ms);
    datagram got;
    std::string on;
    while (receive_any(ports, until, got, on) == 1) {
        json device;
        if (got.type == "INFO"_tlv && decode_info(got, device)) {
            device["heard_on"] = interface_or_null(on);
            found.add(std::move(device));
        }
    }
    devices = found.all();
    return true;
}

configure_outcome radio_configure(const std::vector<std::string> &interfaces, const configure_order &order,
                                  std::string &password, int wait_ms, std::string &detail)
{
    std::array<uint8_t, SHA1_DIGEST_SIZE> hash{};
    {
        message_ptr digest(sha1_hash(password.data(), password.size()));
        explicit_bzero(password.data(), password.size());
        if (!digest) {
            detail = "cannot compute the password hash";
            return configure_outcome::failed;
        }
        std::memcpy(hash.data(), digest.get(), hash.size());
        explicit_bzero(digest.get(), hash.size());
    }
    struct wipe {
        std::array<uint8_t, SHA1_DIGEST_SIZE> &bytes;
        ~wipe() { explicit_bzero(bytes.data(), bytes.size()); }
    } wiped{hash};

    std::vector<std::unique_ptr<port_on>> ports;
    message_ptr ask(auth_msg_build_challenge_request(order.puid.c_str()));
    if (!open_ports(interfaces, ports, detail) || !broadcast_all(ports, ask.get(), detail))
        return configure_outcome::failed;
    std::vector<std::string> locals = local_addresses();
    std::vector<uint8_t> challenge;
    datagram got;
    std::string on;
    answer seen = answer::none;
    deadline until = deadline_after(std::min(challenge_wait_ms, wait_ms));
    while (seen == answer::none && receive_any(ports, until, got, on) == 1)
        seen = classify(got, order.puid, locals, challenge, detail);
    if (seen == answer::error)
        return configure_outcome::refused;
    if (seen != answer::challenge) {
        detail = "no challenge from " + order.puid + " (is the device on this segment?)";
        return configure_outcome::timeout;
    }
    message_ptr conf = build_conf(order, hash, challenge);
    if (!broadcast_all(ports, conf.get(), detail))
        return configure_outcome::failed;
    seen = answer::none;
    until = deadline_after(wait_ms);
    while ((seen == answer::none || seen == answer::challenge) && receive_any(ports, until, got, on) == 1)
        seen = classify(got, order.puid, locals, challenge, detail);
    if (seen == answer::ok)
        return configure_outcome::ok;
    if (seen == answer::error)
        return configure_outcome::refused;
    detail = "no OK or ERROR from " + order.puid + " within " + std::to_string(wait_ms / 1000) + " s";
    return configure_outcome::timeout;
}

bool radio_watch(const std::vector<std::string> &interfaces, int wait_ms, std::vector<json> &seen, std::string &failure)
{
    std::vector<std::unique_ptr<port_on>> ports;
    if (!open_ports(interfaces, ports, failure))
        return false;
    deadline until = deadline_after(wait_ms);
    datagram got;
    std::string on;
    while (receive_any(ports, until, got, on) == 1)
        seen.push_back({{"time", time_of_day_text()},
                        {"from", got.sender},
                        {"interface", interface_or_null(on)},
                        {"message", decode_message(got.data.data(), got.data.size())}});
    return true;
}

} // namespace ctl
