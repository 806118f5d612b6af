// Writes the Wireshark dissector from its template, with the element tables
// generated from the element catalogue, so that the dissector knows every
// element the daemon does:
//   orvane_dissector TEMPLATE OUTPUT
// replaces the template's line "-- @ELEMENT_TABLES@".
#include "ipconf/elements.hpp"

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <string>

namespace {

// One Lua table: code = {kind, size rule}, for the codes of the families.
void write_table(std::ostream &out, const char *name, std::initializer_list<element_family> families)
{
    static constexpr char letters[] = "-ctbre"; // by element_kind
    out << "local " << name << " = {\n";
    for (const element_rule &rule : element_catalogue) {
        for (const element_family family : families) {
            const element_kind kind = rule.kind(family);
            if (kind == element_kind::none)
                continue;
            out << "    " << rule.name << " = {\"" << letters[static_cast<int>(kind)] << '"';
            if (rule.exact != 0)
                out << ", size = " << rule.exact;
            else if (rule.max != 0)
                out << ", max = " << rule.max;
            out << "},\n";
            break;
        }
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
    std::ifstream in(argv[1]);
    std::ofstream out(argv[2]);
    bool replaced = false;
    for (std::string line; std::getline(in, line);) {
        if (line == "-- @ELEMENT_TABLES@") {
            write_table(out, "ipconf", {element_family::ipconf});
            write_table(out, "notifier", {element_family::auth, element_family::notif});
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
