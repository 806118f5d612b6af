// orvanectl watch: prints every message seen on UDP port 4445 on every
// interface (or those given), decoded, one block per message with its sender
// and the interface it came on, until the time given or SIGINT.

#include "tools/orvanectl/cli.hpp"
#include "tools/orvanectl/decode.hpp"
#include "tools/orvanectl/output.hpp"
#include "tools/orvanectl/segment.hpp"

#include "util/io.hpp"

#include <cstdint>
#include <cstdio>

namespace {

int run_watch(int argc, char **argv);

const ctl::command watch_command{
    "watch", "[-i IFACE]... [--raw] [-t SECONDS]",
    "Print every ipconf message seen on UDP port 4445, decoded, with its sender.",
    R"(Runs until SECONDS have passed (status 0), or until interrupted (SIGINT: status 130). With --json each
message is one line: {"schema", "command", "time", "from", "port", "interface", "message"};
with --parsable one record: message;TIME;FROM;PORT;INTERFACE;TYPE;SIZE;PUID;HOST_NAME (the last two empty
where the message has none). Times are UTC, ISO 8601 with milliseconds.)",
    run_watch};

const ctl::registration registered{watch_command};

// The text of a top-level field of a decoded message, or null.
ctl::json text_field(const ctl::json &message, const std::string &type)
{
    if (message.contains("fields"))
        for (const auto &field : message["fields"])
            if (field.value("type", "") == type && field.contains("text"))
                return field["text"];
    return nullptr;
}

int run_watch(int argc, char **argv)
{
    configurator::search where;
    const int status = ctl::parse_search_command(watch_command, argc, argv, 0,
                                                 "stop after this long (default: until interrupted)", where);
    if (status != ctl::go_on)
        return status;
    where.progress = nullptr;
    const auto done = configurator::watch(where, [](const configurator::datagram &got) {
        const ctl::json message = ctl::decode_message(got.data.data(), got.data.size());
        if (ctl::json_output()) {
            ctl::json line = ctl::document();
            line["time"] = utc_timestamp_text();
            line["from"] = got.sender;
            line["port"] = got.sender_port;
            line["interface"] = got.interface;
            line["message"] = message;
            ctl::print_json_line(line);
        } else if (ctl::parsable_output()) {
            ctl::print_record({"message", utc_timestamp_text(), got.sender, got.sender_port, got.interface,
                               message["type"], message["size"], text_field(message, "PUID"),
                               text_field(message, "HNAM")});
        } else {
            std::printf("%s from %s:%u on %s\n", utc_timestamp_text().c_str(), got.sender.c_str(), got.sender_port,
                        got.interface.c_str());
            ctl::print_decoded(stdout, message);
            std::fflush(stdout);
        }
        return true;
    });
    if (done.result != configurator::outcome::ok)
        return ctl::unfinished(done.result, done.error);
    ctl::print_notes(done.notes);
    return ctl::exit_ok;
}

} // namespace
