// orvanectl configure: changes a device's host name and interface settings.
// Asks the device for a challenge, answers it with a CONF carrying the
// challenged password and the settings, and reports the device's OK or
// ERROR. Every argument is checked before anything is sent; the password is
// read from a file or standard input and never shown.

#include "tools/orvanectl/cli.hpp"
#include "tools/orvanectl/output.hpp"
#include "tools/orvanectl/password.hpp"
#include "tools/orvanectl/segment.hpp"

#include "ipconf/interface_conf.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// The final answer may take the device up to its own 40-second time-out.
constexpr int reply_wait_ms = 45000;

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
    std::string puid, user, host_name;
    ctl::password_source password;
    ctl::segment_options segment;
    int wait_ms = reply_wait_ms;
    std::vector<interface_request> interfaces;
};

int run_configure(int argc, char **argv);

const ctl::command configure_command{
    "configure",
    R"(PUID --user NAME (--password-file FILE | --password-stdin) [--hostname NAME]
       [--iface MAC [--static ADDR/PREFIX | --dhcp] [--gateway A] [--dns A] [--wins A]]... [-i IFACE]... [--raw]
       [-t SECONDS])",
    "Change the host name and/or IPv4 settings of the device PUID after a challenge-response login.",
    R"(--static, --dhcp, --gateway, --dns and --wins apply to the --iface before them; a setting that is not
given stays as the device has it. The password is the first line of FILE or of standard input; it is
never sent (only a hash of it answers the device's challenge) and never printed. Every argument is
checked before anything is sent. The challenge must come within 5 s (or SECONDS, if less); the final
OK or ERROR within SECONDS (default 45). On ERROR the device's text goes to standard error. The challenge
request goes out on every interface (or those given with -i, raw frames as for discover); the rest of
the exchange stays on the interface where the device answered for this host's address. A LOOK goes out with
the request: only a challenge from the host that answers it as PUID, and from no other, is answered. After
the OK the device is asked once more, and "in force" means that it reports what was asked; otherwise the
status is 1 and the reason is printed.)",
    run_configure,
    1,
    1,
    "PUID"};

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
    std::vector<ctl::option> options = {
        {"user", 'u', "NAME", "log in as this user", once(req.user, "--user", ctl::parse_user_name)},
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
        {"dns", 0, "A", "DNS server",
         [&](const char *value) { return set_address(req, "--dns", &interface_request::dns, value); }},
        {"wins", 0, "A", "WINS server",
         [&](const char *value) { return set_address(req, "--wins", &interface_request::wins, value); }},
        ctl::timeout_option(req.wait_ms, "wait this long for the device's OK or ERROR (default 45)"),
    };
    ctl::add_password_options(options, req.password);
    ctl::add_segment_options(options, req.segment);
    int status = ctl::parse_options(configure_command, argc, argv, options, positional);
    if (status != ctl::go_on)
        return status;
    if (!ctl::parse_mac("PUID", positional[0].c_str(), req.puid))
        return ctl::exit_failed;
    if (req.user.empty()) {
        ctl::refuse("--user NAME is required");
        return ctl::exit_failed;
    }
    if (req.password.file.empty() == !req.password.from_stdin) {
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

configurator::configuration configuration_of(const request &req)
{
    configurator::configuration conf{.puid = req.puid, .user = req.user, .host_name = req.host_name};
    for (const auto &entry : req.interfaces)
        conf.interfaces.push_back({.mac = entry.mac,
                                   .ipv4_method = entry.ipv4_mode,
                                   .address = entry.address,
                                   .netmask = entry.netmask,
                                   .gateway = entry.gateway,
                                   .dns = entry.dns,
                                   .wins = entry.wins});
    return conf;
}

int report(const request &req, const configurator::configure_result &done)
{
    using configurator::outcome;
    if (done.result == outcome::cancelled && done.conf_sent) {
        // The request is on its way: the device may still apply it.
        ctl::end_progress();
        if (ctl::json_output()) {
            ctl::json out = ctl::document();
            out["puid"] = req.puid;
            out["result"] = "interrupted";
            out["error"] = "interrupted after the request went out: the device may still apply it";
            out["interface"] = done.interface;
            out["unverified"] = ctl::json::array();
            ctl::print_json(out);
        }
        std::fprintf(stderr,
                     "orvanectl configure: %s: interrupted after the request went out; the device may still apply "
                     "it (discover shows what it reports)\n",
                     req.puid.c_str());
        return ctl::unfinished(done.result, done.error);
    }
    if (done.result == outcome::cancelled || done.result == outcome::failed)
        return ctl::unfinished(done.result, done.error);
    ctl::print_notes(done.notes);
    const char *result = ctl::result_word(done.result);
    const std::string detail = done.result == outcome::refused ? done.device_error : done.error;
    const ctl::json interface = done.interface.empty() ? ctl::json(nullptr) : ctl::json(done.interface);
    const ctl::json error = done.result == outcome::ok ? ctl::json(nullptr) : ctl::json(detail);
    if (ctl::json_output()) {
        ctl::json out = ctl::document();
        out["puid"] = req.puid;
        out["result"] = result;
        out["error"] = error;
        out["interface"] = interface;
        out["unverified"] = done.unverified;
        ctl::print_json(out);
    } else if (ctl::parsable_output()) {
        ctl::print_record({"result", req.puid, result, error, interface});
    } else if (done.result == outcome::ok) {
        std::printf("%s: OK, the new configuration is in force\n", req.puid.c_str());
    }
    for (const auto &text : done.unverified)
        std::fprintf(stderr, "orvanectl configure: note: %s: not verified: %s\n", req.puid.c_str(), text.c_str());
    switch (done.result) {
    case outcome::ok:
        return ctl::exit_ok;
    case outcome::refused:
        std::fprintf(stderr, "orvanectl configure: %s: ERROR: %s\n", req.puid.c_str(), ctl::printable(detail).c_str());
        return ctl::exit_refused;
    case outcome::timeout:
        ctl::refuse(detail);
        return ctl::exit_timeout;
    default:
        std::fprintf(stderr, "orvanectl configure: %s: %s\n", req.puid.c_str(), ctl::printable(detail).c_str());
        return ctl::exit_refused;
    }
}

int run_configure(int argc, char **argv)
{
    request req;
    int status = parse_request(argc, argv, req);
    if (status != ctl::go_on)
        return status;
    configurator::configuration conf = configuration_of(req);
    {
        ctl::secret password;
        if (!ctl::read_password(req.password, password))
            return ctl::exit_failed;
        conf.password_hash = configurator::password_hash(password.text());
    }
    const auto done =
        configurator::configure(conf, ctl::make_search(req.segment, std::chrono::milliseconds(req.wait_ms)));
    explicit_bzero(conf.password_hash.data(), conf.password_hash.size());
    ctl::end_progress();
    return report(req, done);
}

} // namespace
