#include "tools/orvanectl/json_reader.hpp"

#include <cstring>

namespace ctl {

namespace {

class reader {
public:
    reader(std::string_view text, std::string_view secret_key, std::string &secret, int max_depth)
        : text_(text), secret_key_(secret_key), secret_(secret), max_depth_(max_depth)
    {}

    bool document(json &out)
    {
        if (!value(out, 0))
            return false;
        skip_space();
        return at_ == text_.size() || fail("text after the JSON value");
    }

    std::string why;

private:
    bool fail(const std::string &text)
    {
        if (why.empty())
            why = text + " at byte " + std::to_string(at_);
        return false;
    }
    void skip_space()
    {
        while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]) && text_[at_] != '\0')
            ++at_;
    }
    bool take(char c)
    {
        skip_space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool word(std::string_view expected)
    {
        if (text_.substr(at_, expected.size()) != expected)
            return fail("not a JSON value");
        at_ += expected.size();
        return true;
    }

    static void append_utf8(std::string &out, unsigned code)
    {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    bool hex4(unsigned &code)
    {
        code = 0;
        for (int i = 0; i < 4; ++i, ++at_) {
            char c = at_ < text_.size() ? text_[at_] : '\0';
            int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
            if (digit < 0)
                return fail("a bad \\u escape");
            code = code * 16 + static_cast<unsigned>(digit);
        }
        return true;
    }
    // A text into `out`, which the caller sized so that it never moves
    // (a secret leaves no copy behind in freed memory).
    bool string(std::string &out)
    {
        if (!take('"'))
            return fail("a text was expected");
        while (at_ < text_.size()) {
            char c = text_[at_++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return fail("a control character in a text");
            if (c != '\\') {
                out += c;
                continue;
            }
            char escape = at_ < text_.size() ? text_[at_++] : '\0';
            const char *plain = std::strchr("\"\\/bfnrt", escape);
            if (escape != '\0' && escape != 'u' && plain) {
                out += "\"\\/\b\f\n\r\t"[plain - "\"\\/bfnrt"];
                continue;
            }
            unsigned code = 0;
            if (escape != 'u' || !hex4(code))
                return fail("a bad escape in a text");
            if (code >= 0xD800 && code < 0xDC00) {
                unsigned low = 0;
                if (!word("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF)
                    return fail("a lone surrogate in a text");
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else if (code >= 0xDC00 && code <= 0xDFFF) {
                return fail("a lone surrogate in a text");
            }
            append_utf8(out, code);
        }
        return fail("a text that does not end");
    }
    bool number(json &out)
    {
        size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-')
            ++at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9' && at_ - start < 18)
            ++at_;
        std::string digits(text_.substr(start, at_ - start));
        if (digits.empty() || digits == "-" ||
            (at_ < text_.size() && std::strchr(".eE0123456789", text_[at_]) && text_[at_] != '\0'))
            return fail("only whole numbers of up to 18 digits are taken");
        out = std::stoll(digits);
        return true;
    }
    bool value(json &out, int depth)
    {
        skip_space();
        char c = at_ < text_.size() ? text_[at_] : '\0';
        // A container at depth d is the (d + 1)th level of nesting.
        if ((c == '{' || c == '[') && depth >= max_depth_)
            return fail("nesting deeper than " + std::to_string(max_depth_) + " levels");
        if (c == '{')
            return object(out, depth);
        if (c == '[') {
            ++at_;
            out = json::array();
            if (take(']'))
                return true;
            do {
                json element;
                if (!value(element, depth + 1))
                    return false;
                out.push_back(std::move(element));
            } while (take(','));
            return take(']') || fail("',' or ']' expected");
        }
        if (c == '"') {
            std::string text;
            if (!string(text))
                return false;
            out = std::move(text);
            return true;
        }
        if (c == 't' || c == 'f' || c == 'n') {
            std::string_view expected = c == 't' ? "true" : c == 'f' ? "false" : "null";
            if (!word(expected))
                return false;
            out = c == 'n' ? json(nullptr) : json(c == 't');
            return true;
        }
        return number(out);
    }
    bool object(json &out, int depth)
    {
        ++at_;
        out = json::object();
        if (take('}'))
            return true;
        do {
            std::string key;
            if (!string(key) || !(take(':') || fail("':' expected")))
                return false;
            if (out.contains(key))
                return fail(std::string(1, '"').append(printable(key)).append("\" given twice"));
            if (depth == 0 && key == secret_key_) {
                skip_space();
                if (seen_secret_ || at_ >= text_.size() || text_[at_] != '"')
                    return fail(key + " must be a text, given once");
                seen_secret_ = true;
                secret_.clear();
                secret_.reserve(text_.size());
                if (!string(secret_))
                    return false;
                continue;
            }
            json member;
            if (!value(member, depth + 1))
                return false;
            out[key] = std::move(member);
        } while (take(','));
        return take('}') || fail("',' or '}' expected");
    }

    std::string_view text_;
    std::string_view secret_key_;
    std::string &secret_;
    int max_depth_;
    size_t at_ = 0;
    bool seen_secret_ = false;
};

} // namespace

bool read_json(std::string_view text, std::string_view secret_key, json &value, std::string &secret, std::string &why,
               int max_depth)
{
    reader read(text, secret_key, secret, max_depth);
    if (read.document(value))
        return true;
    explicit_bzero(secret.data(), secret.size());
    secret.clear();
    why = "the body is not the JSON expected: " + read.why;
    return false;
}

} // namespace ctl
