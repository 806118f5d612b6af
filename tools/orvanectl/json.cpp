#include "tools/orvanectl/json.hpp"

#include <cstdio>

namespace ctl {

namespace {

// Length of the valid UTF-8 sequence at text[at], or 0.
size_t utf8_length(const std::string &text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length;
    unsigned min;
    unsigned code;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, min = 0x80, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, min = 0x800, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, min = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(at + i) & 0x3F);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < min || code > 0x10FFFF || surrogate ? 0 : length;
}

void write_text(std::string &out, const std::string &text)
{
    out += '"';
    for (size_t at = 0; at < text.size();) {
        const char c = text[at];
        const size_t length = utf8_length(text, at);
        if (length == 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD for a byte that is no UTF-8
            ++at;
            continue;
        }
        if (length > 1) {
            out.append(text, at, length);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
        at += length;
    }
    out += '"';
}

} // namespace

json::json(std::initializer_list<json> elements)
{
    bool pairs = true;
    for (const auto &element : elements)
        pairs = pairs && element.kind_ == kind::array && element.items_.size() == 2 &&
                element.items_[0].second.kind_ == kind::text;
    kind_ = pairs ? kind::object : kind::array;
    for (const auto &element : elements) {
        if (pairs)
            (*this)[element.items_[0].second.text_] = element.items_[1].second;
        else
            items_.emplace_back(std::string(), element);
    }
}

json json::array()
{
    json made;
    made.kind_ = kind::array;
    return made;
}

json json::object()
{
    json made;
    made.kind_ = kind::object;
    return made;
}

json &json::operator[](const std::string &key)
{
    if (kind_ == kind::null)
        kind_ = kind::object;
    for (auto &item : items_)
        if (item.first == key)
            return item.second;
    items_.emplace_back(key, json());
    return items_.back().second;
}

const json &json::operator[](const std::string &key) const
{
    static const json none;
    for (const auto &item : items_)
        if (kind_ == kind::object && item.first == key)
            return item.second;
    return none;
}

bool json::contains(const std::string &key) const
{
    for (const auto &item : items_)
        if (kind_ == kind::object && item.first == key)
            return true;
    return false;
}

std::string json::value(const std::string &key, const std::string &fallback) const
{
    const json &member = (*this)[key];
    return member.is_string() ? member.text_ : fallback;
}

void json::push_back(json element)
{
    if (kind_ == kind::null)
        kind_ = kind::array;
    items_.emplace_back(std::string(), std::move(element));
}

std::string json::dump(int indent, char, bool, error_handler_t) const
{
    std::string out;
    write(out, indent, 0);
    return out;
}

void json::write(std::string &out, int indent, int depth) const
{
    switch (kind_) {
    case kind::null:
        out += "null";
        return;
    case kind::boolean:
        out += integer_ ? "true" : "false";
        return;
    case kind::integer:
        out += unsigned_ ? std::to_string(static_cast<unsigned long long>(integer_)) : std::to_string(integer_);
        return;
    case kind::text:
        write_text(out, text_);
        return;
    case kind::array:
    case kind::object:
        break;
    }
    const bool object = kind_ == kind::object;
    out += object ? '{' : '[';
    if (items_.empty()) {
        out += object ? '}' : ']';
        return;
    }
    const auto newline = [&](int level) {
        if (indent >= 0) {
            out += '\n';
            out.append(static_cast<size_t>(indent * level), ' ');
        }
    };
    for (size_t i = 0; i < items_.size(); ++i) {
        if (i > 0)
            out += ',';
        newline(depth + 1);
        if (object) {
            write_text(out, items_[i].first);
            out += indent >= 0 ? ": " : ":";
        }
        items_[i].second.write(out, indent, depth + 1);
    }
    newline(depth);
    out += object ? '}' : ']';
}

} // namespace ctl
