#include "tools/orvanectl/segment.hpp"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <utility>

namespace ctl {

namespace {

bool progress_shown = false;

configurator::cancel_token &stop_token()
{
    static configurator::cancel_token token;
    return token;
}

void show_progress(const std::string &awaited, std::chrono::milliseconds left)
{
    const long seconds = (left.count() + 999) / 1000;
    std::fprintf(stderr, "\r\033[Korvanectl %s: waiting for %s, %ld s left", current_command(), awaited.c_str(),
                 seconds > 0 ? seconds : 0);
    std::fflush(stderr);
    progress_shown = true;
}

} // namespace

void add_segment_options(std::vector<option> &options, segment_options &segment)
{
    options.push_back({"interface", 'i', "IFACE", "use this local interface only (repeatable; default: every one)",
                       [&segment](const char *value) {
                           std::string name;
                           if (!parse_interface_name("-i", value, name))
                               return false;
                           segment.interfaces.push_back(name);
                           return true;
                       }});
    options.push_back({"raw", 0, nullptr, "use raw frames from 0.0.0.0 on every interface (needs CAP_NET_RAW)",
                       [&segment](const char *) { return segment.raw = true; }});
}

configurator::search make_search(const segment_options &segment, std::chrono::milliseconds timeout)
{
    configurator::cancel_on_signals(stop_token());
    configurator::search where{
        .interfaces = segment.interfaces, .raw = segment.raw, .timeout = timeout, .cancel = &stop_token()};
    if (isatty(STDERR_FILENO))
        where.progress = show_progress;
    return where;
}

int parse_search_command(const command &cmd, int argc, char **argv, int timeout_ms, const char *timeout_help,
                         configurator::search &where)
{
    segment_options segment;
    std::vector<std::string> positional;
    std::vector<option> options = {timeout_option(timeout_ms, timeout_help)};
    add_segment_options(options, segment);
    const int status = parse_options(cmd, argc, argv, options, positional);
    if (status == go_on)
        where = make_search(segment, std::chrono::milliseconds(timeout_ms));
    return status;
}

void end_progress()
{
    if (progress_shown)
        std::fputs("\r\033[K", stderr);
    progress_shown = false;
}

void print_notes(const std::vector<std::string> &notes)
{
    end_progress();
    for (const auto &note : notes)
        refuse("note: " + note);
}

const char *result_word(configurator::outcome result)
{
    using configurator::outcome;
    static constexpr std::pair<outcome, const char *> words[] = {
        {outcome::ok, "ok"},
        {outcome::refused, "error"},
        {outcome::timeout, "timeout"},
        {outcome::not_in_force, "not_in_force"},
        {outcome::no_evidence, "no_evidence"},
        {outcome::conflict, "conflict"},
    };
    for (const auto &[known, word] : words)
        if (known == result)
            return word;
    return "failed";
}

int unfinished(configurator::outcome result, const std::string &error)
{
    end_progress();
    if (result == configurator::outcome::cancelled)
        return exit_signal_base + (configurator::caught_signal() ? configurator::caught_signal() : SIGINT);
    refuse(error);
    return exit_failed;
}

} // namespace ctl
