// orvanectl dump: prints a captured message (a file holding the datagram's
// bytes, or standard input) as the TLV dump, or decoded with --json.

#include "tools/orvanectl/cli.hpp"
#include "tools/orvanectl/decode.hpp"
#include "tools/orvanectl/output.hpp"

#include "ipconf/elements.hpp"
#include "util/tlv_ez.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Far above any datagram; a bigger file is not a captured message.
constexpr size_t max_capture = 1 << 20;

bool read_all(FILE *in, const std::string &name, std::vector<uint8_t> &data)
{
    uint8_t chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
        if (data.size() + got > max_capture)
            return ctl::refuse(name + " holds more than " + std::to_string(max_capture) +
                               " bytes; that is no captured message");
        data.insert(data.end(), chunk, chunk + got);
    }
    if (std::ferror(in))
        return ctl::refuse("cannot read " + name + ": " + std::strerror(errno));
    return true;
}

int run_dump(int argc, char **argv);

const ctl::command dump_command{"dump",
                                "[FILE|-]",
                                "Print a captured message (its raw bytes, from FILE or standard input) as a TLV dump.",
                                R"(With --json the message is decoded into its named fields instead. A message that
breaks off or does not parse is printed as far as it goes, then named on stderr
(status 2).)",
                                run_dump,
                                0,
                                1,
                                "FILE",
                                ctl::command::forms::text_json};

const ctl::registration registered{dump_command};

int run_dump(int argc, char **argv)
{
    std::vector<std::string> positional;
    int status = ctl::parse_options(dump_command, argc, argv, {}, positional);
    if (status != ctl::go_on)
        return status;
    std::string name = positional.empty() ? "-" : positional[0];
    std::vector<uint8_t> data;
    if (name == "-") {
        if (!read_all(stdin, "standard input", data))
            return ctl::exit_failed;
    } else {
        std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(name.c_str(), "rb"), std::fclose);
        if (!file) {
            ctl::refuse("cannot open " + name + ": " + std::strerror(errno));
            return ctl::exit_failed;
        }
        if (!read_all(file.get(), name, data))
            return ctl::exit_failed;
    }
    if (data.empty()) {
        ctl::refuse(name == "-" ? "standard input is empty" : name + " is empty");
        return ctl::exit_failed;
    }
    ctl::json message = ctl::decode_message(data.data(), data.size());
    if (ctl::json_output()) {
        ctl::json out = ctl::document();
        out["message"] = message;
        ctl::print_json(out);
    } else {
        tlv_dump(stdout, data.data(), data.size(), element_nests<element_family::ipconf>);
        std::fflush(stdout);
    }
    // A dump that stops short is no message: say where, in either form.
    if (message.contains("error")) {
        ctl::refuse(message["error"].get<std::string>());
        return ctl::exit_failed;
    }
    return ctl::exit_ok;
}

} // namespace
