// Where a technician's password comes from, with one rule for every command
// and for the page: the first line of a file or of standard input (never the
// command line), or a member of the page's request; one line of 1 to 1024
// bytes without a zero byte, a trailing CR dropped. The text lives only in a
// secret, which wipes it when it goes; it is never printed.
#pragma once

#include "tools/orvanectl/cli.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace ctl {

inline constexpr size_t max_password = 1024;

// A text wiped when it is replaced or goes out of scope.
class secret {
public:
    secret() = default;
    ~secret() { wipe(); }
    secret(const secret &) = delete;
    secret &operator=(const secret &) = delete;
    [[nodiscard]] std::string &text() { return text_; }
    [[nodiscard]] const std::string &text() const { return text_; }
    void wipe();

private:
    std::string text_;
};

struct password_source {
    std::string file; // --password-file FILE
    bool from_stdin = false;
};

// --password-file FILE and --password-stdin, for a command's options.
void add_password_options(std::vector<option> &options, password_source &source);

// Reads the password as the source says; false after refuse() when exactly
// one source was not given, it cannot be read, or the text breaks the rule.
[[nodiscard]] bool read_password(const password_source &source, secret &password);

// The rule alone, for a password that came another way: empty when the text
// keeps it, else why not.
[[nodiscard]] std::string password_refusal(std::string_view text);

} // namespace ctl
