// orvanectl configure: changes a device's host name and interface settings.
// Asks the device for a challenge, answers it with a CONF carrying the
// challenged password and the settings, and reports the device's OK or
// ERROR. Every argument is checked before anything is sent; the password is
// read from a file or standard input and never shown.

#include "tools/orvanectl/cli.hpp"
#include "tools/orvanectl/output.hpp"
#include "tools/orvanectl/port.hpp"

#include "ipconf/auth_msg.hpp"
#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "util/owned.hpp"
#include "util/sha1.hpp"
#include "util/tlv.hpp"
#include "util/tlv_ez.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using message_ptr = malloc_ptr<uint8_t>;

// The challenge must come quickly; the final answer may take the device up
// to its own 40-second time-out.
constexpr int challenge_wait_ms = 5000;
constexpr int reply_wait_ms = 45000;
constexpr size_t max_password = 1024;

struct interface_request {
    std::string mac;
    int ipv4_mode = IPV4_MODE_NOT_SET;
    std::string address, netmask, gateway, dns, wins;
    [[nodiscard]] bool empty() const
    {
        return ipv4_mode == IPV4_MODE_NOT_SET && gateway.empty() && dns.empty() && wins.empty();
    }
};

struct request {
    std::string puid, user, host_name, interface, password_file;
    bool password_stdin = false;
    int wait_ms = reply_wait_ms;
    std::vector<interface_request> interfaces;
};

int run_configure(int argc, char **argv);

const ctl::command configure_command{
    "configure",
    "PUID --user NAME (--password-file FILE | --password-stdin) [--hostname NAME]\n"
    "       [--iface MAC [--static ADDR/PREFIX | --dhcp] [--gateway A] [--dns A] [--wins A]]... [-i IFACE] [-t SECONDS]",
    "Change the host name and/or IPv4 settings of the device PUID after a challenge-response login.",
    "--static, --dhcp, --gateway, --dns and --wins apply to the --iface before them; a setting that is not\n"
    "given stays as the device has it. The password is the first line of FILE or of standard input; it is\n"
    "never sent (only a hash of it answers the device's challenge) and never printed. Every argument is\n"
    "checked before anything is sent. The challenge must come within 5 s (or SECONDS, if less); the final\n"
    "OK or ERROR within SECONDS (default 45). On ERROR the device's text goes to standard error.",
    run_configure};

const ctl::registration registered{configure_command};

// The settings options need an --iface before them.
interface_request *current_interface(request &req, const char *option)
{
    if (req.interfaces.empty()) {
        ctl::refuse(std::string(option) + " must follow an --iface MAC");
        return nullptr;
    }
    return &req.interfaces.back();
}

bool set_method(request &req, const char *option, int mode, const char *value)
{
    interface_request *entry = current_interface(req, option);
    if (!entry)
        return false;
    if (entry->ipv4_mode != IPV4_MODE_NOT_SET)
        return ctl::refuse("--iface " + entry->mac + " takes one of --static or --dhcp, once");
    entry->ipv4_mode = mode;
    return !value || ctl::parse_ipv4_prefix(option, value, entry->address, entry->netmask);
}

bool set_address(request &req, const char *option, std::string interface_request::*field, const char *value)
{
    interface_request *entry = current_interface(req, option);
    if (!entry)
        return false;
    if (!(entry->*field).empty())
        return ctl::refuse("--iface " + entry->mac + " takes " + option + " once");
    return ctl::parse_ipv4(option, value, entry->*field);
}

int parse_request(int argc, char **argv, request &req)
{
    std::vector<std::string> positional;
    auto once = [](std::string &field, const char *option, auto parse) {
        return [&field, option, parse](const char *value) {
            if (!field.empty())
                return ctl::refuse(std::string(option) + " given twice");
            return parse(option, value, field);
        };
    };
    auto any_text = [](const char *, const char *value, std::string &field) {
        field = value;
        return true;
    };
    std::vector<ctl::option> options = {
        {"user", 'u', "NAME", "log in as this user", once(req.user, "--user", ctl::parse_user_name)},
        {"password-file", 0, "FILE", "read the password from the first line of FILE",
         once(req.password_file, "--password-file", any_text)},
        {"password-stdin", 0, nullptr, "read the password from the first line of standard input",
         [&](const char *) { return req.password_stdin = true; }},
        {"hostname", 0, "NAME", "the new host name", once(req.host_name, "--hostname", ctl::parse_host_name)},
        {"iface", 0, "MAC", "the device's interface that the settings after it apply to",
         [&](const char *value) {
             interface_request entry;
             if (!ctl::parse_mac("--iface", value, entry.mac))
                 return false;
             for (const auto &known : req.interfaces)
                 if (known.mac == entry.mac)
                     return ctl::refuse("--iface " + entry.mac + " given twice");
             req.interfaces.push_back(entry);
             return true;
         }},
        {"static", 0, "ADDR/PREFIX", "fixed IPv4 address and prefix length",
         [&](const char *value) { return set_method(req, "--static", IPV4_STATIC, value); }},
        {"dhcp", 0, nullptr, "obtain the IPv4 address by DHCP",
         [&](const char *) { return set_method(req, "--dhcp", IPV4_DHCP, nullptr); }},
        {"gateway", 0, "A", "default gateway",
         [&](const char *value) { return set_address(req, "--gateway", &interface_request::gateway, value); }},
        {"dns", 0, "A", "DNS server", [&](const char *value) { return set_address(req, "--dns", &interface_request::dns, value); }},
        {"wins", 0, "A", "WINS server",
         [&](const char *value) { return set_address(req, "--wins", &interface_request::wins, value); }},
        {"interface", 'i', "IFACE", "send and listen on this local interface only",
         once(req.interface, "-i", ctl::parse_interface_name)},
        {"timeout", 't', "SECONDS", "wait this long for the device's OK or ERROR (default 45)",
         [&](const char *value) { return ctl::parse_seconds("-t", value, req.wait_ms); }},
    };
    int status = ctl::parse_options(configure_command, argc, argv, options, positional);
    if (status != ctl::go_on)
        return status;
    if (positional.size() != 1) {
        ctl::refuse(positional.empty() ? "which device? give its PUID (see orvanectl discover)"
                                       : "takes one PUID, not " + std::to_string(positional.size()) + " arguments");
        return ctl::exit_failed;
    }
    if (!ctl::parse_mac("PUID", positional[0].c_str(), req.puid))
        return ctl::exit_failed;
    if (req.user.empty()) {
        ctl::refuse("--user NAME is required");
        return ctl::exit_failed;
    }
    if (req.password_file.empty() == !req.password_stdin) {
        ctl::refuse("give exactly one of --password-file FILE and --password-stdin");
        return ctl::exit_failed;
    }
    for (const auto &entry : req.interfaces)
        if (entry.empty()) {
            ctl::refuse("--iface " + entry.mac + " has no settings (--static, --dhcp, --gateway, --dns, --wins)");
            return ctl::exit_failed;
        }
    if (req.host_name.empty() && req.interfaces.empty()) {
        ctl::refuse("nothing to configure: give --hostname and/or --iface with settings");
        return ctl::exit_failed;
    }
    return ctl::go_on;
}

// The first line of the source, without its line end.
bool read_password(const request &req, std::string &password)
{
    std::unique_ptr<FILE, int (*)(FILE *)> file(nullptr, std::fclose);
    FILE *in = stdin;
    std::string name = "standard input";
    if (!req.password_stdin) {
        name = req.password_file;
        file.reset(std::fopen(req.password_file.c_str(), "r"));
        if (!file)
            return ctl::refuse("cannot read the password file " + name + ": " + std::strerror(errno));
        in = file.get();
    }
    password.clear();
    int c;
    while ((c = std::fgetc(in)) != EOF && c != '\n') {
        if (c == '\0' || password.size() >= max_password) {
            explicit_bzero(password.data(), password.size());
            return ctl::refuse("the password in " + name + " is not a line of text of at most " +
                               std::to_string(max_password) + " bytes");
        }
        password += static_cast<char>(c);
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    if (password.empty())
        return ctl::refuse("no password in " + name);
    return true;
}

bool hash_password(const request &req, std::array<uint8_t, SHA1_DIGEST_SIZE> &hash)
{
    std::string password;
    if (!read_password(req, password))
        return false;
    malloc_ptr<uint8_t> digest(sha1_hash(password.data(), password.size()));
    explicit_bzero(password.data(), password.size());
    if (!digest)
        return ctl::refuse("cannot compute the password hash");
    std::memcpy(hash.data(), digest.get(), hash.size());
    explicit_bzero(digest.get(), hash.size());
    return true;
}

message_ptr build_conf(const request &req, const std::array<uint8_t, SHA1_DIGEST_SIZE> &hash, const std::vector<uint8_t> &challenge)
{
    tlv_writer *writer =
        ipconf_msg_open_conf(req.puid.c_str(), req.user.c_str(), hash.data(), challenge.data(), challenge.size());
    if (writer && !req.host_name.empty())
        writer = ipconf_msg_set_conf_hostname(writer, req.host_name.c_str());
    auto text = [](const std::string &value) { return value.empty() ? nullptr : const_cast<char *>(value.c_str()); };
    for (const auto &entry : req.interfaces) {
        if (!writer)
            break;
        interface_conf conf{};
        conf.mac = text(entry.mac);
        conf.role = INTERFACE_ROLE_NOT_SET;
        conf.link_state = LINK_STATE_NOT_SET;
        conf.ipv4_mode = entry.ipv4_mode;
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

// Reads one datagram meant for this exchange: from the device `puid` and
// addressed to one of this host's addresses.
answer classify(ctl::datagram &got, const std::string &puid, const std::vector<std::string> &locals,
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
            puid != element_text(from) || !ctl::is_local_address(locals, std::string(element_text(to)).c_str()))
            return answer::none;
        challenge.assign(value, value + length);
        return answer::challenge;
    }
    if (got.type == "OK"_tlv) {
        if (ipconf_msg_parse_ok(got.data.data(), got.size, &from, &to) != 0 || !from || puid != from ||
            (to && !ctl::is_local_address(locals, to)))
            return answer::none;
        return answer::ok;
    }
    if (got.type == "ERR"_tlv) {
        char *text = nullptr;
        if (ipconf_msg_parse_error(got.data.data(), got.size, &from, &to, &text) != 0 || !from || puid != from ||
            (to && !ctl::is_local_address(locals, to)))
            return answer::none;
        error_text = text ? text : "";
        return answer::error;
    }
    return answer::none;
}

int report(const request &req, const char *result, const std::string &detail)
{
    std::string printable_detail = ctl::printable(detail);
    if (ctl::json_output()) {
        ctl::json out = {{"puid", req.puid}, {"result", result}};
        if (!detail.empty())
            out[std::string(result) == "error" ? "error" : "detail"] = detail;
        ctl::print_json(out);
    }
    if (std::string(result) == "ok") {
        if (!ctl::json_output())
            std::printf("%s: OK, the new configuration is in force\n", req.puid.c_str());
        return ctl::exit_ok;
    }
    if (std::string(result) == "error") {
        std::fprintf(stderr, "orvanectl configure: %s: ERROR: %s\n", req.puid.c_str(), printable_detail.c_str());
        return ctl::exit_refused;
    }
    ctl::refuse(printable_detail);
    return ctl::exit_failed;
}

int run_configure(int argc, char **argv)
{
    request req;
    int status = parse_request(argc, argv, req);
    if (status != ctl::go_on)
        return status;
    std::array<uint8_t, SHA1_DIGEST_SIZE> hash{};
    if (!hash_password(req, hash))
        return ctl::exit_failed;

    ctl::stop_on_signals();
    std::vector<std::string> locals = ctl::local_addresses();
    ctl::ipconf_port port;
    if (!port.open(req.interface))
        return ctl::exit_failed;

    message_ptr challenge_request(auth_msg_build_challenge_request(req.puid.c_str()));
    if (!challenge_request) {
        ctl::refuse("cannot build the challenge request");
        return ctl::exit_failed;
    }
    if (!port.broadcast(challenge_request.get()))
        return ctl::exit_failed;

    std::vector<uint8_t> challenge;
    std::string error_text;
    ctl::datagram got;
    answer seen = answer::none;
    ctl::deadline until = ctl::deadline_after(std::min(challenge_wait_ms, req.wait_ms));
    while (seen == answer::none && port.receive(until, got) == 1)
        seen = classify(got, req.puid, locals, challenge, error_text);
    if (seen == answer::error)
        return report(req, "error", error_text);
    if (seen != answer::challenge)
        return report(req, "timeout",
                      "no challenge from " + req.puid + " (is the PUID right and the device on this segment?)");

    message_ptr conf = build_conf(req, hash, challenge);
    explicit_bzero(hash.data(), hash.size());
    if (!conf) {
        ctl::refuse("cannot build the configuration request");
        return ctl::exit_failed;
    }
    if (!port.broadcast(conf.get()))
        return ctl::exit_failed;

    seen = answer::none;
    until = ctl::deadline_after(req.wait_ms);
    while ((seen == answer::none || seen == answer::challenge) && port.receive(until, got) == 1)
        seen = classify(got, req.puid, locals, challenge, error_text);
    if (seen == answer::ok)
        return report(req, "ok", "");
    if (seen == answer::error)
        return report(req, "error", error_text);
    return report(req, "timeout",
                  "no OK or ERROR from " + req.puid + " within " + std::to_string(req.wait_ms / 1000) + " s");
}

} // namespace
