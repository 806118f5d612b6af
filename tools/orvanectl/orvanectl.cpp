// orvanectl: the configurator's command-line client. Finds devices on the
// local segment, configures one, watches the ipconf traffic and decodes
// captured messages. Each subcommand lives in its own source file and
// registers itself (cli.hpp); this file only dispatches.

#include "tools/orvanectl/cli.hpp"
#include "tools/orvanectl/output.hpp"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void print_usage(FILE *stream)
{
    std::fputs("usage: orvanectl [--json | --parsable] COMMAND [OPTIONS] [ARGUMENTS]\n\ncommands:\n", stream);
    // A command of two words is listed under its group ("event").
    for (const auto &cmd : ctl::commands())
        if (std::strchr(cmd.name, ' ') == nullptr)
            std::fprintf(stream, "  %-10s %s\n", cmd.name, cmd.summary);
    std::fputs("\n'orvanectl COMMAND --help' describes a command.\n"
               "exit status: 0 done, 1 refused by the device, 2 bad arguments or local failure, 3 no answer in time,\n"
               "130 interrupted (143 on SIGTERM)\n",
               stream);
}

} // namespace

int main(int argc, char **argv)
{
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        const char *arg = argv[first];
        if (std::strcmp(arg, "--json") == 0) {
            ctl::set_json(true);
        } else if (std::strcmp(arg, "--parsable") == 0) {
            ctl::set_parsable(true);
        } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            print_usage(stdout);
            return ctl::exit_ok;
        } else if (std::strcmp(arg, "-v") == 0 || std::strcmp(arg, "--version") == 0) {
            std::puts("orvanectl version " ORV_VERSION);
            return ctl::exit_ok;
        } else {
            ctl::refuse(std::string("unknown option \"") + arg + "\"");
            print_usage(stderr);
            return ctl::exit_failed;
        }
    }
    if (first >= argc) {
        print_usage(stderr);
        return ctl::exit_failed;
    }
    // "event send": a command of two words comes before its group's word.
    if (first + 1 < argc) {
        const std::string words = std::string(argv[first]) + " " + argv[first + 1];
        if (const ctl::command *cmd = ctl::find_command(words)) {
            ++first;
            return cmd->run(argc - first, argv + first);
        }
    }
    const ctl::command *cmd = ctl::find_command(argv[first]);
    if (!cmd) {
        ctl::refuse(std::string("unknown command \"") + argv[first] + "\"");
        print_usage(stderr);
        return ctl::exit_failed;
    }
    return cmd->run(argc - first, argv + first);
}
