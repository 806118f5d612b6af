// The element catalogue: every TLV type code of the ipconf, authentication and
// notification messages, once, with its kind in each family of messages, the
// size rule of its payload and so whether it nests. Parsers, dumps, the CLI
// decoder and the tests take codes and rules from here, and a test holds the
// Wireshark dissector's tables to it. A new element is one row of the table;
// "CODE"_tlv names a code and compiles only for a catalogued one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "util/sha1.hpp"
#include "util/tlv.hpp"
#include "util/tlv_ez.hpp"

// The UDP port of the ipconf protocol and the TCP port of the notifier.
inline constexpr uint16_t ORVANE_PORT = 4445;

// What a payload holds. none: the code is not part of that family.
enum class element_kind : uint8_t { none, container, text, byte, raw, empty };

// ipconf: the UDP messages (LOOK INFO CONF OK ERR and the challenge exchange);
// auth: the challenge and login messages; notif: the events.
enum class element_family : uint8_t { ipconf, auth, notif };

struct element_rule {
    std::string_view name;
    element_kind ipconf;
    element_kind auth;
    element_kind notif;
    uint32_t exact; // the payload's size when it is fixed, else 0
    uint32_t max;   // the largest payload, else 0 (no limit)

    [[nodiscard]] constexpr element_kind kind(element_family family) const
    {
        return family == element_family::ipconf ? ipconf : family == element_family::auth ? auth : notif;
    }
    // The size rule: exactly `exact`, at most `max`, or any size.
    [[nodiscard]] constexpr bool fits(uint32_t length) const
    {
        return exact != 0 ? length == exact : max == 0 || length <= max;
    }
};

namespace element_table {
using enum element_kind;
inline constexpr uint32_t ADDRESS = 46; // an IPv4 or IPv6 address text and its zero byte
inline constexpr element_rule rows[] = {
    // name    ipconf     auth       notif      exact             max
    {"LOOK", empty, none, none, 0, 0},
    {"INFO", container, none, container, 0, 0},
    {"CONF", container, none, none, 0, 0},
    {"OK", container, empty, none, 0, 0},
    {"ERR", container, text, none, 0, 0},
    {"CHRQ", container, container, none, 0, 0},
    {"CHAL", container, container, none, 0, 0},
    {"LOGN", none, container, none, 0, 0},
    {"EVNT", none, none, container, 0, 0},
    {"INTF", container, none, none, 0, 0},
    {"IPV4", container, none, none, 0, 0},
    {"PUID", text, text, none, 18, 0},
    {"STAT", byte, none, none, 0, 0},
    {"HNAM", text, none, none, 0, 64},
    {"PNAM", text, none, none, 0, 64},
    {"PRID", text, none, none, 0, 64},
    {"HWID", text, none, none, 0, 64},
    {"HWRV", text, none, none, 0, 32},
    {"SVER", text, none, none, 0, 32},
    {"PROT", byte, none, none, 0, 0},
    {"USER", text, text, text, 0, 256},
    {"PASS", raw, raw, none, SHA1_DIGEST_SIZE, 0},
    {"CHA", raw, raw, none, 0, 0},
    {"ADDR", text, text, none, 0, ADDRESS},
    {"EMSG", text, none, none, 0, 0},
    {"MAC", text, none, none, 18, 0},
    {"NAME", text, none, none, 0, 16},
    {"ROLE", byte, none, none, 0, 0},
    {"MODE", byte, none, none, 0, 0},
    {"MASK", text, none, none, 0, ADDRESS},
    {"GWAY", text, none, none, 0, ADDRESS},
    {"BCST", text, none, none, 0, ADDRESS},
    {"DNS", text, none, none, 0, ADDRESS},
    {"WINS", text, none, none, 0, ADDRESS},
    {"MODL", none, none, text, 0, 0},
    {"ID", none, none, text, 0, 0},
    {"TIME", none, none, text, 0, 0},
    {"KEY", none, none, text, 0, 0},
    {"VAL", none, none, text, 0, 0},
};
} // namespace element_table

inline constexpr std::span<const element_rule> element_catalogue{element_table::rows};

// Words for an element where a person reads it (text output, the page); the
// wire code stays in JSON. `parent` narrows a code that means two things by
// the container it is in ("" for any).
struct element_label {
    std::string_view name, parent, words;
};

inline constexpr element_label element_labels[] = {
    {"INTF", "", "interface"},
    {"IPV4", "", "IPv4"},
    {"PUID", "", "PUID"},
    {"STAT", "INFO", "mode"},
    {"STAT", "INTF", "link"},
    {"HNAM", "", "host name"},
    {"PNAM", "", "product name"},
    {"PRID", "", "product ID"},
    {"HWID", "", "hardware ID"},
    {"HWRV", "", "hardware revision"},
    {"SVER", "", "software version"},
    {"PROT", "", "protocol"},
    {"USER", "", "user"},
    {"PASS", "", "challenged password"},
    {"CHA", "", "challenge"},
    {"ADDR", "IPV4", "address"},
    {"ADDR", "", "for"},
    {"EMSG", "", "error"},
    {"MAC", "", "MAC"},
    {"NAME", "", "name"},
    {"ROLE", "", "role"},
    {"MODE", "", "method"},
    {"MASK", "", "netmask"},
    {"GWAY", "", "gateway"},
    {"BCST", "", "broadcast"},
    {"DNS", "", "DNS"},
    {"WINS", "", "WINS"},
    {"MODL", "", "module"},
    {"ID", "", "event"},
    {"TIME", "", "time"},
    {"KEY", "", "key"},
    {"VAL", "", "value"},
};

// The words for an element in its container; the code itself when none.
[[nodiscard]] constexpr std::string_view element_words(std::string_view name, std::string_view parent)
{
    for (const element_label &label : element_labels)
        if (label.name == name && label.parent == parent)
            return label.words;
    for (const element_label &label : element_labels)
        if (label.name == name && label.parent.empty())
            return label.words;
    return name;
}

[[nodiscard]] constexpr uint32_t element_code(const element_rule &rule)
{
    uint32_t type = 0;
    for (size_t i = 0; i < 4; ++i)
        type = type << 8 | (i < rule.name.size() ? static_cast<unsigned char>(rule.name[i]) : 0U);
    return type;
}

// The row of a type code, or null for a code the catalogue does not hold.
[[nodiscard]] constexpr const element_rule *element_find(uint32_t type)
{
    for (const element_rule &rule : element_catalogue)
        if (element_code(rule) == type)
            return &rule;
    return nullptr;
}

// The type code of a catalogued element: "PUID"_tlv. Any other name does not
// compile.
consteval uint32_t operator""_tlv(const char *name, size_t length)
{
    for (const element_rule &rule : element_catalogue)
        if (rule.name == std::string_view(name, length))
            return element_code(rule);
    throw "not in the element catalogue";
}

// The kind of a type code in a family (none when unknown there).
[[nodiscard]] constexpr element_kind element_kind_of(element_family family, uint32_t type)
{
    const element_rule *rule = element_find(type);
    return rule == nullptr ? element_kind::none : rule->kind(family);
}

// The catalogue's size rule for a payload of that type (any size for a code
// it does not hold).
[[nodiscard]] constexpr bool element_fits(uint32_t type, uint32_t length)
{
    const element_rule *rule = element_find(type);
    return rule == nullptr || rule->fits(length);
}

// The container predicate of a family, as tlv_dump and the walks want it.
template <element_family family>
[[nodiscard]] int element_nests(uint32_t type)
{
    return element_kind_of(family, type) == element_kind::container ? 1 : 0;
}

// A text field that its parser hands out unchecked, as a bounded view: up to
// its first zero byte or the end of its payload, whose length lies in the
// header just before it. Nothing past the field is read. Empty for null.
[[nodiscard]] inline std::string_view element_text(const char *value)
{
    if (value == nullptr)
        return {};
    const uint32_t length = tlv_get_size(value - TLV_HEADER_SIZE) - TLV_HEADER_SIZE;
    size_t end = 0;
    while (end < length && value[end] != '\0')
        ++end;
    return {value, end};
}

// Rules every row keeps; a row that breaks one does not compile.
consteval bool element_catalogue_is_consistent()
{
    using enum element_kind;
    for (size_t i = 0; i < element_catalogue.size(); ++i) {
        const element_rule &rule = element_catalogue[i];
        if (rule.name.empty() || rule.name.size() > 4)
            return false; // a code is one to four characters
        if (rule.ipconf == none && rule.auth == none && rule.notif == none)
            return false; // used by some family
        if (rule.exact != 0 && rule.max != 0)
            return false; // one size rule
        for (const element_kind kind : {rule.ipconf, rule.auth, rule.notif})
            if ((kind == container || kind == byte || kind == empty) && (rule.exact != 0 || rule.max != 0))
                return false; // only texts and raw fields have a size rule
        for (size_t j = i + 1; j < element_catalogue.size(); ++j)
            if (element_code(element_catalogue[j]) == element_code(rule))
                return false; // every code once
    }
    return true;
}
static_assert(element_catalogue_is_consistent(), "the element catalogue breaks one of its rules");
