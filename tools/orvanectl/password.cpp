#include "tools/orvanectl/password.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace ctl {

void secret::wipe()
{
    explicit_bzero(text_.data(), text_.size());
    text_.clear();
}

void add_password_options(std::vector<option> &options, password_source &source)
{
    options.push_back(
        {"password-file", 0, "FILE", "read the password from the first line of FILE", [&source](const char *value) {
             if (!source.file.empty())
                 return refuse("--password-file given twice");
             source.file = value;
             return true;
         }});
    options.push_back({"password-stdin", 0, nullptr, "read the password from the first line of standard input",
                       [&source](const char *) { return source.from_stdin = true; }});
}

std::string password_refusal(std::string_view text)
{
    if (text.empty() || text.size() > max_password || text.find('\0') != std::string_view::npos ||
        text.find('\n') != std::string_view::npos)
        return "the password must be one line of 1 to " + std::to_string(max_password) + " bytes";
    return "";
}

bool read_password(const password_source &source, secret &password)
{
    if (source.file.empty() == !source.from_stdin)
        return refuse("give exactly one of --password-file FILE and --password-stdin");
    std::unique_ptr<FILE, int (*)(FILE *)> file(nullptr, std::fclose);
    FILE *in = stdin;
    const std::string name = source.from_stdin ? "standard input" : printable(source.file);
    if (!source.from_stdin) {
        file.reset(std::fopen(source.file.c_str(), "r"));
        if (!file)
            return refuse("cannot read the password file " + name + ": " + std::strerror(errno));
        in = file.get();
    }
    password.wipe();
    std::string &text = password.text();
    // Reserved once, so that the line never moves to a new buffer and leaves
    // a copy behind.
    text.reserve(max_password + 1);
    int c;
    while ((c = std::fgetc(in)) != EOF && c != '\n') {
        if (text.size() > max_password)
            break;
        text += static_cast<char>(c);
    }
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    if (text.empty())
        return refuse("no password in " + name);
    if (const std::string why = password_refusal(text); !why.empty()) {
        password.wipe();
        return refuse("the password in " + name + " is not a line of text of at most " + std::to_string(max_password) +
                      " bytes");
    }
    return true;
}

} // namespace ctl
