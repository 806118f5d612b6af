#include "tools/orvanectl/cli.hpp"
#include "tools/orvanectl/output.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ctl {

namespace {

std::vector<command> &registry()
{
    static std::vector<command> all;
    return all;
}

const char *running_command = "";
thread_local std::string *captured_refusal = nullptr;

const option *find_long(const std::vector<option> &options, std::string_view name)
{
    for (const auto &opt : options)
        if (opt.long_name && name == opt.long_name)
            return &opt;
    return nullptr;
}

const option *find_short(const std::vector<option> &options, char name)
{
    for (const auto &opt : options)
        if (opt.short_name && opt.short_name == name)
            return &opt;
    return nullptr;
}

std::string quoted(const char *text)
{
    std::string out = "\"";
    for (const char *c = text; *c; ++c)
        out += std::isprint(static_cast<unsigned char>(*c)) ? *c : '?';
    return out + "\"";
}

bool is_hex(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// 1 to `most` characters, each one `allowed`; else refused as not `wanted`.
bool accept_characters(const char *what, const char *text, size_t most, const char *wanted, std::string &out,
                       bool (*allowed)(unsigned char))
{
    const size_t length = std::strlen(text);
    bool ok = length >= 1 && length <= most;
    for (size_t i = 0; ok && i < length; ++i)
        ok = allowed(static_cast<unsigned char>(text[i]));
    if (!ok)
        return refuse(std::string(what) + " wants " + wanted + ", not " + quoted(text));
    out = text;
    return true;
}

} // namespace

registration::registration(const command &cmd)
{
    auto &all = registry();
    all.push_back(cmd);
    std::sort(all.begin(), all.end(),
              [](const command &a, const command &b) { return std::strcmp(a.name, b.name) < 0; });
}

const std::vector<command> &commands()
{
    return registry();
}

const command *find_command(std::string_view name)
{
    for (const auto &cmd : registry())
        if (name == cmd.name)
            return &cmd;
    return nullptr;
}

void set_current_command(const char *name)
{
    running_command = name ? name : "";
}

const char *current_command()
{
    return running_command;
}

json document()
{
    return {{"schema", 1}, {"command", running_command}};
}

refusal_capture::refusal_capture(std::string &into) : previous_(captured_refusal)
{
    captured_refusal = &into;
}

refusal_capture::~refusal_capture()
{
    captured_refusal = previous_;
}

bool refuse(const std::string &text)
{
    if (captured_refusal) {
        *captured_refusal = text;
        return false;
    }
    if (*running_command)
        std::fprintf(stderr, "orvanectl %s: %s\n", running_command, text.c_str());
    else
        std::fprintf(stderr, "orvanectl: %s\n", text.c_str());
    return false;
}

option timeout_option(int &milliseconds, const char *help)
{
    return {"timeout", 't', "SECONDS", help,
            [&milliseconds](const char *value) { return parse_seconds("-t", value, milliseconds); }};
}

void print_command_help(const command &cmd, const std::vector<option> &options)
{
    std::printf("usage: orvanectl %s %s\n\n%s\n", cmd.name, cmd.synopsis, cmd.summary);
    std::printf("\noptions:\n");
    auto line = [](const std::string &left, const char *help) { std::printf("  %-28s %s\n", left.c_str(), help); };
    for (const auto &opt : options) {
        std::string left;
        if (opt.short_name)
            left = std::string("-") + opt.short_name + ", ";
        left += std::string("--") + opt.long_name;
        if (opt.value_name)
            left += std::string(" ") + opt.value_name;
        line(left, opt.help);
    }
    line("--json", "print JSON instead of text (schema 1, see orvanectl(1))");
    if (cmd.outputs == command::forms::text_json_parsable)
        line("--parsable", "print one ';'-separated record a line, for scripts");
    line("-h, --help", "print this help");
    if (cmd.details)
        std::printf("\n%s\n", cmd.details);
    std::printf("\nexit status: 0 done, 1 refused by the device, 2 bad arguments or local failure, 3 no answer in "
                "time, 130 interrupted (143 on SIGTERM)\n");
}

int parse_options(const command &cmd, int argc, char **argv, const std::vector<option> &options,
                  std::vector<std::string> &positional)
{
    set_current_command(cmd.name);
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (options_ended || arg[0] != '-' || std::strcmp(arg, "-") == 0) {
            positional.emplace_back(arg);
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            options_ended = true;
            continue;
        }
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            print_command_help(cmd, options);
            return exit_ok;
        }
        if (std::strcmp(arg, "--json") == 0) {
            set_json(true);
            continue;
        }
        if (std::strcmp(arg, "--parsable") == 0) {
            if (cmd.outputs != command::forms::text_json_parsable) {
                refuse("offers no --parsable records; use --json");
                return exit_failed;
            }
            set_parsable(true);
            continue;
        }
        const option *opt = nullptr;
        const char *value = nullptr;
        std::string shown;
        if (arg[1] == '-') {
            std::string_view name(arg + 2);
            auto equals = name.find('=');
            if (equals != std::string_view::npos) {
                value = arg + 2 + equals + 1;
                name = name.substr(0, equals);
            }
            opt = find_long(options, name);
            shown = "--" + std::string(name);
        } else {
            opt = find_short(options, arg[1]);
            if (opt && arg[2] != '\0') {
                if (opt->value_name)
                    value = arg + 2; // -ieth0
                else
                    opt = nullptr;
            }
            shown = std::string(arg, 2);
        }
        if (!opt) {
            refuse("unknown option " + quoted(arg) + " (see orvanectl " + cmd.name + " --help)");
            return exit_failed;
        }
        if (opt->value_name && !value) {
            if (i + 1 >= argc) {
                refuse(shown + " wants a value (" + opt->value_name + ")");
                return exit_failed;
            }
            value = argv[++i];
        } else if (!opt->value_name && value) {
            refuse(shown + " takes no value");
            return exit_failed;
        }
        if (!opt->apply(value))
            return exit_failed;
    }
    const size_t count = positional.size();
    if (cmd.most == 0 && count != 0) {
        refuse("takes no arguments, not " + quoted(positional[0].c_str()));
        return exit_failed;
    }
    if (count < cmd.least) {
        refuse(std::string("wants ") + cmd.argument + " (see orvanectl " + cmd.name + " --help)");
        return exit_failed;
    }
    if (cmd.most != any_number && count > cmd.most) {
        refuse("takes " + std::string(cmd.least == cmd.most ? "one " : "one at most: ") + cmd.argument + ", not " +
               std::to_string(count) + " arguments");
        return exit_failed;
    }
    return go_on;
}

bool parse_seconds(const char *what, const char *text, int &milliseconds)
{
    errno = 0;
    char *end = nullptr;
    double seconds = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 86400 ||
        !std::isdigit(static_cast<unsigned char>(text[0])))
        return refuse(std::string(what) + " wants a number of seconds above 0 and at most 86400, not " + quoted(text));
    milliseconds = std::max(1, static_cast<int>(std::lround(seconds * 1000)));
    return true;
}

bool parse_mac(const char *what, const char *text, std::string &mac)
{
    // Six pairs of hex digits joined by ':' (or '-').
    bool ok = std::strlen(text) == 17;
    for (int i = 0; ok && i < 17; ++i)
        ok = i % 3 == 2 ? (text[i] == ':' || text[i] == '-') : is_hex(text[i]);
    if (!ok)
        return refuse(std::string(what) + " wants a MAC address like 02:00:00:00:00:01, not " + quoted(text));
    mac.clear();
    for (int i = 0; i < 17; ++i)
        mac += i % 3 == 2 ? ':' : static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    return true;
}

bool parse_ipv4(const char *what, const char *text, std::string &address)
{
    in_addr parsed{};
    char buffer[INET_ADDRSTRLEN];
    if (inet_pton(AF_INET, text, &parsed) != 1 || !inet_ntop(AF_INET, &parsed, buffer, sizeof buffer))
        return refuse(std::string(what) + " wants an IPv4 address like 192.0.2.10, not " + quoted(text));
    address = buffer;
    return true;
}

bool parse_ipv4_prefix(const char *what, const char *text, std::string &address, std::string &netmask)
{
    const char *slash = std::strchr(text, '/');
    std::string address_part = slash ? std::string(text, slash) : std::string(text);
    if (!slash)
        return refuse(std::string(what) + " wants ADDRESS/PREFIX like 192.0.2.10/24, not " + quoted(text));
    if (!parse_ipv4(what, address_part.c_str(), address))
        return false;
    const char *prefix_text = slash + 1;
    char *end = nullptr;
    errno = 0;
    long prefix = std::strtol(prefix_text, &end, 10);
    if (errno != 0 || end == prefix_text || *end != '\0' || !std::isdigit(static_cast<unsigned char>(*prefix_text)) ||
        prefix < 1 || prefix > 32)
        return refuse(std::string(what) + " wants a prefix length from 1 to 32 after the '/', not " + quoted(text));
    in_addr mask{};
    mask.s_addr = htonl(prefix == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix));
    char buffer[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &mask, buffer, sizeof buffer);
    netmask = buffer;
    return true;
}

bool parse_interface_name(const char *what, const char *text, std::string &name)
{
    return accept_characters(what, text, 15, "a network interface name of 1 to 15 characters", name,
                             [](unsigned char c) { return std::isgraph(c) && c != '/' && c != ':'; });
}

bool parse_host_name(const char *what, const char *text, std::string &name)
{
    size_t length = std::strlen(text);
    bool ok = length >= 1 && length <= 63;
    size_t label = 0;
    for (size_t i = 0; ok && i <= length; ++i) {
        char c = text[i];
        if (c == '.' || c == '\0') {
            ok = label > 0 && text[i - 1] != '-';
            label = 0;
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '-') {
            ok = !(label == 0 && c == '-');
            ++label;
        } else {
            ok = false;
        }
    }
    if (!ok)
        return refuse(std::string(what) +
                      " wants a host name of at most 63 letters, digits, '-' and '.' (labels neither empty nor "
                      "starting or ending with '-'), not " +
                      quoted(text));
    name = text;
    return true;
}

bool parse_user_name(const char *what, const char *text, std::string &name)
{
    return accept_characters(what, text, 255, "a user name of 1 to 255 printable characters", name,
                             [](unsigned char c) { return std::isprint(c) != 0; });
}

} // namespace ctl
