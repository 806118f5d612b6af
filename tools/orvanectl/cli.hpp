// Command-line plumbing shared by the orvanectl subcommands: the command
// registry, option parsing with --help and --json built in, and argument
// validators that refuse a malformed value with a message naming it.
// Nothing here touches the network; refusals go to stderr, never a secret.
#pragma once

#include "tools/orvanectl/output.hpp"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ctl {

// Exit statuses of every subcommand.
inline constexpr int exit_ok = 0;      // done
inline constexpr int exit_refused = 1; // the device answered with an ERROR
inline constexpr int exit_failed = 2;  // bad arguments, local failure
inline constexpr int exit_timeout = 3; // no answer in time: the one worth retrying
// Ended by SIGINT or SIGTERM: 128 + the signal number (130 for Ctrl-C).
inline constexpr int exit_signal_base = 128;
// parse_options: go on with the command.
inline constexpr int go_on = -1;

struct command {
    const char *name;                  // "discover"
    const char *synopsis;              // "[-i IFACE] [-t SECONDS]"
    const char *summary;               // one line for `orvanectl --help`
    const char *details;               // paragraph(s) printed after the options by --help, or null
    int (*run)(int argc, char **argv); // argv[0] is the command name
    // The arguments that are not options, which parse_options counts: at
    // least and at most this many, each an `argument` ("PUID").
    unsigned least = 0;
    unsigned most = 0;
    const char *argument = nullptr;
    // Commands whose output is no list of records refuse --parsable.
    enum class forms { text_json_parsable, text_json } outputs = forms::text_json_parsable;
};
inline constexpr unsigned any_number = ~0U;

// A subcommand registers itself from its own source file:
//   const ctl::registration registered{{"dump", "[FILE|-]", "...", nullptr, run_dump}};
struct registration {
    explicit registration(const command &cmd);
};
[[nodiscard]] const std::vector<command> &commands();
[[nodiscard]] const command *find_command(std::string_view name);

struct option {
    const char *long_name;  // "user"
    char short_name;        // 'i', or 0
    const char *value_name; // "NAME"; null for a flag
    const char *help;       // one line
    // Called with the value (null for a flag), in command-line order. False:
    // refused; the callback has already said why (see refuse()).
    std::function<bool(const char *value)> apply;
};

// Parses argv[1..] of a command: the given options, plus -h/--help (prints
// the command's help, returns exit_ok), --json and --parsable. Arguments that
// are not options go to `positional`, refused when there are fewer or more
// than the command takes. Returns go_on, or the status to exit with.
[[nodiscard]] int parse_options(const command &cmd, int argc, char **argv, const std::vector<option> &options,
                                std::vector<std::string> &positional);
void print_command_help(const command &cmd, const std::vector<option> &options);
// -t/--timeout SECONDS into `milliseconds`.
[[nodiscard]] option timeout_option(int &milliseconds, const char *help);

// Prints "orvanectl[ COMMAND]: <text>" on stderr. Returns false so that a
// validator can `return refuse(...)`.
bool refuse(const std::string &text);
// While one lives, refuse() on this thread keeps its text here instead of
// printing it: the page's server hands the same refusals to the browser.
class refusal_capture {
public:
    explicit refusal_capture(std::string &into);
    ~refusal_capture();
    refusal_capture(const refusal_capture &) = delete;
    refusal_capture &operator=(const refusal_capture &) = delete;

private:
    std::string *previous_;
};
// The command being run, for messages ("" before dispatch).
void set_current_command(const char *name);
[[nodiscard]] const char *current_command();
// {"schema": 1, "command": <the command being run>}: every --json document
// starts so, and the command adds its own fields.
[[nodiscard]] json document();

// Validators: true with the normalised value, or false after refuse()
// naming `what` (the option, e.g. "--gateway") and the value.
[[nodiscard]] bool parse_seconds(const char *what, const char *text, int &milliseconds);
[[nodiscard]] bool parse_mac(const char *what, const char *text, std::string &mac); // upper case, colons
[[nodiscard]] bool parse_ipv4(const char *what, const char *text, std::string &address);
// ADDR/PREFIX with PREFIX 1..32: the address and the dotted netmask.
[[nodiscard]] bool parse_ipv4_prefix(const char *what, const char *text, std::string &address, std::string &netmask);
[[nodiscard]] bool parse_interface_name(const char *what, const char *text, std::string &name);
// Letters, digits and '-' in dot-separated labels, at most 63 characters.
[[nodiscard]] bool parse_host_name(const char *what, const char *text, std::string &name);
// 1 to 255 printable characters.
[[nodiscard]] bool parse_user_name(const char *what, const char *text, std::string &name);

} // namespace ctl
