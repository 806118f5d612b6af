// What discover, configure and watch share over the configurator library:
// the -i (repeatable) and --raw options, the search they make (cancelled by
// SIGINT and SIGTERM, with a progress line on stderr when stderr is a
// terminal), the notes about interfaces left out, and the exit status of an
// outcome.
#pragma once

#include "configurator/configurator.hpp"
#include "tools/orvanectl/cli.hpp"

#include <chrono>
#include <string>
#include <vector>

namespace ctl {

struct segment_options {
    std::vector<std::string> interfaces;
    bool raw = false;
};

// Appends -i/--interface IFACE and --raw to a command's options.
void add_segment_options(std::vector<option> &options, segment_options &segment);

// The search for a command: its interfaces, a cancel token that SIGINT and
// SIGTERM fire, and the progress line.
[[nodiscard]] configurator::search make_search(const segment_options &segment, std::chrono::milliseconds timeout);

// Parses the command line of a command whose options are the segment's and
// -t: go_on with `where` made (timeout_ms when -t is not given), or the
// status to exit with.
[[nodiscard]] int parse_search_command(const command &cmd, int argc, char **argv, int timeout_ms,
                                       const char *timeout_help, configurator::search &where);

// Erases the progress line, if one is shown; call before writing anything.
void end_progress();

// Prints the notes as "orvanectl COMMAND: note: ..." lines on stderr.
void print_notes(const std::vector<std::string> &notes);

// The "result" of a configure in JSON: ok, error, timeout, not_in_force,
// no_evidence, conflict; "failed" for a local failure or a cancel.
[[nodiscard]] const char *result_word(configurator::outcome result);

// The exit status of a command that did not finish: 128 + signal when
// cancelled, else exit_failed after printing the error.
[[nodiscard]] int unfinished(configurator::outcome result, const std::string &error);

} // namespace ctl
