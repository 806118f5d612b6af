// Writes the Wireshark dissector from its template, with the element tables
// generated from the element catalogue, so that the dissector knows every
// element the daemon does and gives each one a display-filter field:
//   orvane_dissector TEMPLATE OUTPUT
// replaces the template's line "-- @ELEMENT_TABLES@".
#include "ipconf/elements.hpp"

#include <cstdio>
#include <fstream>
#include <map>
#include <span>
#include <string>
#include <string_view>

namespace {

// The dissector's two catalogues: UDP messages, and the notifier's TCP
// stream, where the authentication and event families meet.
enum class transport { ipconf, notifier };

std::span<const element_family> families_of(transport where)
{
    static constexpr element_family udp[] = {element_family::ipconf};
    static constexpr element_family tcp[] = {element_family::auth, element_family::notif};
    if (where == transport::ipconf)
        return udp;
    return tcp;
}

// The kind the dissector gives a code on a transport: the first family's.
element_kind kind_on(transport where, const element_rule &rule)
{
    for (const element_family family : families_of(where))
        if (rule.kind(family) != element_kind::none)
            return rule.kind(family);
    return element_kind::none;
}

// What a technician filters on: the field of each element, named after what
// it holds (docs/protocol.md, docs/notifier.md), and its name in the tree. A
// code whose parent gives it another meaning has a row for that parent too.
// A field shared by two rows holds the same kind of payload in both.
struct element_field {
    transport where;
    std::string_view code;
    std::string_view parent; // empty: any parent
    const char *field;       // orvane.<field>
    const char *name;
    const char *meanings = nullptr; // the template's Lua table of a byte's values
};

using enum transport;
constexpr element_field fields[] = {
    {ipconf, "LOOK", "", "discovery_request", "discovery request"},
    {ipconf, "INFO", "", "device_info", "device information"},
    {ipconf, "CONF", "", "configuration_request", "configuration request"},
    {ipconf, "OK", "", "configured", "configuration in force"},
    {ipconf, "ERR", "", "error", "ERROR"},
    {ipconf, "CHRQ", "", "challenge_request", "challenge request"},
    {ipconf, "CHAL", "", "challenge", "challenge"},
    {ipconf, "INTF", "", "interface", "interface"},
    {ipconf, "IPV4", "", "ipv4", "IPv4 settings"},
    {ipconf, "PUID", "", "puid", "device PUID"},
    {ipconf, "STAT", "", "mode", "mode", "device_modes"},
    {ipconf, "STAT", "INTF", "link_state", "link state", "link_states"},
    {ipconf, "HNAM", "", "hostname", "host name"},
    {ipconf, "PNAM", "", "product_name", "product name"},
    {ipconf, "PRID", "", "product_id", "product ID"},
    {ipconf, "HWID", "", "hardware_id", "hardware ID"},
    {ipconf, "HWRV", "", "hardware_revision", "hardware revision"},
    {ipconf, "SVER", "", "software_version", "software version"},
    {ipconf, "PROT", "", "protocol", "protocol"},
    {ipconf, "USER", "", "user", "login name"},
    {ipconf, "PASS", "", "challenged_password", "challenged password"},
    {ipconf, "CHA", "", "challenge_bytes", "challenge bytes"},
    {ipconf, "ADDR", "", "configurator_address", "configurator address"},
    {ipconf, "ADDR", "IPV4", "address", "interface address"},
    {ipconf, "ADDR", "INTF", "address", "interface address"},
    {ipconf, "EMSG", "", "error_text", "error text"},
    {ipconf, "MAC", "", "mac", "MAC address"},
    {ipconf, "NAME", "", "interface_name", "interface name"},
    {ipconf, "ROLE", "", "role", "role"},
    {ipconf, "MODE", "", "ipv4_method", "IPv4 method", "ipv4_methods"},
    {ipconf, "MASK", "", "netmask", "netmask"},
    {ipconf, "GWAY", "", "gateway", "gateway"},
    {ipconf, "BCST", "", "broadcast", "broadcast address"},
    {ipconf, "DNS", "", "dns", "DNS server"},
    {ipconf, "WINS", "", "wins", "WINS server"},

    {notifier, "CHRQ", "", "challenge_request", "challenge request"},
    {notifier, "CHAL", "", "challenge", "challenge"},
    {notifier, "LOGN", "", "login", "login"},
    {notifier, "OK", "", "login_accepted", "login accepted"},
    {notifier, "ERR", "", "error_text", "error"},
    {notifier, "PUID", "", "puid", "device PUID"},
    {notifier, "ADDR", "", "configurator_address", "address"},
    {notifier, "CHA", "", "challenge_bytes", "challenge bytes"},
    {notifier, "USER", "", "user", "user"},
    {notifier, "PASS", "", "challenged_password", "challenged password"},
    {notifier, "EVNT", "", "event", "event"},
    {notifier, "INFO", "", "pair", "key and value"},
    {notifier, "MODL", "", "module", "module"},
    {notifier, "ID", "", "event_id", "event identifier"},
    {notifier, "TIME", "", "time", "time"},
    {notifier, "KEY", "", "key", "key"},
    {notifier, "VAL", "", "value", "value"},
};

const element_rule *rule_of(std::string_view code)
{
    for (const element_rule &rule : element_catalogue)
        if (rule.name == code)
            return &rule;
    return nullptr;
}

bool refuse(const char *what, std::string_view code)
{
    std::fprintf(stderr, "orvane_dissector: %s %.*s\n", what, static_cast<int>(code.size()), code.data());
    return false;
}

// Every catalogued element of a transport has one field for any parent; a
// row names a catalogued element under a container of its transport; a
// shared field holds one kind.
bool fields_cover_the_catalogue()
{
    std::map<std::string_view, element_kind> kinds;
    for (const element_field &row : fields) {
        const element_rule *rule = rule_of(row.code);
        if (!rule || kind_on(row.where, *rule) == element_kind::none)
            return refuse("a field names an element its transport does not have:", row.code);
        const element_rule *parent = row.parent.empty() ? nullptr : rule_of(row.parent);
        if (!row.parent.empty() && (!parent || kind_on(row.where, *parent) != element_kind::container))
            return refuse("a field names a parent that is no container:", row.parent);
        if (kinds.emplace(row.field, kind_on(row.where, *rule)).first->second != kind_on(row.where, *rule))
            return refuse("a field holds two kinds of payload:", row.field);
    }
    for (const transport where : {transport::ipconf, transport::notifier})
        for (const element_rule &rule : element_catalogue) {
            if (kind_on(where, rule) == element_kind::none)
                continue;
            int rows = 0;
            for (const element_field &row : fields)
                rows += row.where == where && row.code == rule.name && row.parent.empty();
            if (rows != 1)
                return refuse("an element needs one display-filter field (dist/wireshark/element_tables.cpp):",
                              rule.name);
        }
    return true;
}

// One Lua table: code = {kind, size rule}.
void write_kinds(std::ostream &out, const char *name, transport where)
{
    static constexpr char letters[] = "-ctbre"; // by element_kind
    out << "local " << name << " = {\n";
    for (const element_rule &rule : element_catalogue) {
        const element_kind kind = kind_on(where, rule);
        if (kind == element_kind::none)
            continue;
        out << "    " << rule.name << " = {\"" << letters[static_cast<int>(kind)] << '"';
        if (rule.exact != 0)
            out << ", size = " << rule.exact;
        else if (rule.max != 0)
            out << ", max = " << rule.max;
        out << "},\n";
    }
    out << "}\n";
}

// The fields, each once, typed by the payload of its element.
void write_fields(std::ostream &out)
{
    out << "local fields = {\n";
    std::map<std::string_view, bool> written;
    for (const element_field &row : fields) {
        if (written[row.field])
            continue;
        written[row.field] = true;
        std::string label = row.name;
        if (label[0] >= 'a' && label[0] <= 'z')
            label[0] = static_cast<char>(label[0] - 'a' + 'A');
        out << "    " << row.field << " = ProtoField.";
        switch (kind_on(row.where, *rule_of(row.code))) {
        case element_kind::text:
            out << "string(\"orvane." << row.field << "\", \"" << label << "\")";
            break;
        case element_kind::byte:
            out << "uint8(\"orvane." << row.field << "\", \"" << label << "\", base.DEC"
                << (row.meanings ? std::string(", ") + row.meanings : "") << ")";
            break;
        case element_kind::raw:
            out << "bytes(\"orvane." << row.field << "\", \"" << label << "\")";
            break;
        default:
            out << "none(\"orvane." << row.field << "\", \"" << label << "\")";
        }
        out << ",\n";
    }
    out << "}\n";
}

// Each element's field, name and the meanings of its byte: code = {field,
// name[, meanings]}, ["PARENT/CODE"] where the parent changes them.
void write_elements(std::ostream &out, const char *name, transport where)
{
    out << "local " << name << " = {\n";
    for (const element_field &row : fields) {
        if (row.where != where)
            continue;
        out << "    ";
        if (row.parent.empty())
            out << row.code;
        else
            out << "[\"" << row.parent << '/' << row.code << "\"]";
        out << " = {fields." << row.field << ", \"" << row.name << '"';
        if (row.meanings)
            out << ", " << row.meanings;
        out << "},\n";
    }
    out << "}\n";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: orvane_dissector TEMPLATE OUTPUT\n");
        return 2;
    }
    if (!fields_cover_the_catalogue())
        return 1;
    std::ifstream in(argv[1]);
    std::ofstream out(argv[2]);
    bool replaced = false;
    for (std::string line; std::getline(in, line);) {
        if (line == "-- @ELEMENT_TABLES@") {
            write_kinds(out, "ipconf", transport::ipconf);
            write_kinds(out, "notifier", transport::notifier);
            write_fields(out);
            write_elements(out, "ipconf_elements", transport::ipconf);
            write_elements(out, "notifier_elements", transport::notifier);
            replaced = true;
        } else {
            out << line << '\n';
        }
    }
    out.close();
    if (!in.eof() || !replaced || !out) {
        std::fprintf(stderr, "orvane_dissector: cannot write %s from %s\n", argv[2], argv[1]);
        return 1;
    }
    return 0;
}
