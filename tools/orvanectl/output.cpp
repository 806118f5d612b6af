#include "tools/orvanectl/output.hpp"

#include "ipconf/interface_conf.hpp"
#include "ipconf/product_record.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <span>
#include <string>

namespace ctl {

namespace {
bool json_mode = false;
bool parsable_mode = false;
} // namespace

bool parsable_output()
{
    return parsable_mode;
}

void set_parsable(bool on)
{
    parsable_mode = on;
}

void print_record(const std::vector<json> &fields)
{
    std::string line;
    for (const auto &field : fields) {
        if (&field != &fields.front())
            line += ';';
        const std::string text = field.is_null()     ? std::string()
                                 : field.is_string() ? field.get<std::string>()
                                                     : field.dump(-1, ' ', false, json::error_handler_t::replace);
        for (char c : text) {
            if (c == '\\' || c == ';') {
                line += '\\';
                line += c;
            } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                char escaped[5];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
                line += escaped;
            } else {
                line += c;
            }
        }
    }
    std::puts(line.c_str());
    std::fflush(stdout);
}

bool json_output()
{
    return json_mode;
}

void set_json(bool on)
{
    json_mode = on;
}

void print_json(const json &value)
{
    std::string text = value.dump(2, ' ', false, json::error_handler_t::replace);
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void print_json_line(const json &value)
{
    std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void print_table(FILE *stream, const std::vector<std::vector<std::string>> &rows,
                 const std::function<void(size_t row)> &after)
{
    std::vector<size_t> widths;
    for (const auto &row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    }
    for (size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (size_t i = 0; i < rows[r].size(); ++i) {
            line += rows[r][i];
            if (i + 1 < rows[r].size())
                line += std::string(widths[i] - rows[r][i].size() + 2, ' ');
        }
        std::fprintf(stream, "%s\n", line.c_str());
        if (after)
            after(r);
    }
}

std::string printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    return out;
}

json text_or_null(const char *text)
{
    if (!text)
        return nullptr;
    return std::string(text);
}

std::string shown(const json &value)
{
    if (value.is_null())
        return "-";
    if (value.is_string())
        return printable(value.get<std::string>());
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

namespace {

// The word for each value of a byte field, null for "not sent"; a value
// without a word is shown as `unknown` and its number.
struct value_word {
    long value;
    const char *word;
};

json word_of(std::span<const value_word> words, long value, const char *unknown)
{
    for (const value_word &known : words)
        if (known.value == value)
            return known.word ? json(known.word) : json(nullptr);
    return std::string(unknown) + " " + std::to_string(value);
}

constexpr value_word mode_words[] = {{PRODUCT_MODE_NORMAL, "normal"},
                                     {PRODUCT_MODE_SLEEP, "sleep"},
                                     {PRODUCT_MODE_RESCUE, "rescue"},
                                     {PRODUCT_MODE_NOT_CONFIGURABLE, "not-configurable"}};
constexpr value_word link_words[] = {{LINK_DOWN, "down"}, {LINK_UP, "up"}, {LINK_STATE_NOT_SET, nullptr}};
constexpr value_word method_words[] = {{IPV4_STATIC, "static"}, {IPV4_DHCP, "dhcp"}, {IPV4_MODE_NOT_SET, nullptr}};

} // namespace

std::string mode_name(uint32_t mode)
{
    return word_of(mode_words, mode, "mode").get<std::string>();
}

json link_name(int link_state)
{
    return word_of(link_words, link_state, "state");
}

json method_name(int ipv4_mode)
{
    return word_of(method_words, ipv4_mode, "method");
}

std::string address_text(const sockaddr_storage &address)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&address);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&address);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr))
            inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], text, sizeof text);
        else
            inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    }
    return text;
}

} // namespace ctl
