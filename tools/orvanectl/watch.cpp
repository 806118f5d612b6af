// orvanectl watch: prints every message seen on UDP port 4445, decoded, one
// block per message with its sender, until the time given or SIGINT.

#include "tools/orvanectl/cli.hpp"
#include "tools/orvanectl/decode.hpp"
#include "tools/orvanectl/output.hpp"
#include "tools/orvanectl/port.hpp"

#include "util/io.hpp"

#include <cstdint>
#include <cstdio>

namespace {

int run_watch(int argc, char **argv);

const ctl::command watch_command{
    "watch", "[-i IFACE] [-t SECONDS]",
    "Print every ipconf message seen on UDP port 4445, decoded, with its sender.",
    "Runs until SECONDS have passed, or until interrupted (SIGINT, SIGTERM), then exits with status 0.\n"
    "With --json each message is one line: {\"time\", \"from\", \"port\", \"message\"}.",
    run_watch};

const ctl::registration registered{watch_command};

int run_watch(int argc, char **argv)
{
    std::string interface;
    int wait_ms = 0;
    std::vector<std::string> positional;
    int status = ctl::parse_options(
        watch_command, argc, argv,
        {
            {"interface", 'i', "IFACE", "listen on this interface only",
             [&](const char *value) { return ctl::parse_interface_name("-i", value, interface); }},
            {"timeout", 't', "SECONDS", "stop after this long (default: until interrupted)",
             [&](const char *value) { return ctl::parse_seconds("-t", value, wait_ms); }},
        },
        positional);
    if (status != ctl::go_on)
        return status;
    if (!positional.empty()) {
        ctl::refuse("takes no arguments, not \"" + positional[0] + "\"");
        return ctl::exit_failed;
    }
    ctl::stop_on_signals();
    ctl::ipconf_port port;
    if (!port.open(interface))
        return ctl::exit_failed;
    // Without -t: a deadline far beyond any session; SIGINT ends the wait.
    ctl::deadline until = ctl::deadline_after(wait_ms > 0 ? wait_ms : INT32_MAX);
    ctl::datagram got;
    int result;
    while ((result = port.receive(until, got)) == 1) {
        ctl::json message = ctl::decode_message(got.data.data(), got.data.size());
        if (ctl::json_output()) {
            ctl::print_json_line({{"time", time_of_day_text()}, {"from", got.sender}, {"port", got.sender_port}, {"message", message}});
        } else {
            std::printf("%s from %s:%u\n", time_of_day_text().c_str(), got.sender.c_str(), got.sender_port);
            ctl::print_decoded(stdout, message);
            std::fflush(stdout);
        }
    }
    return result < 0 ? ctl::exit_failed : ctl::exit_ok;
}

} // namespace
