#include "ipconf/elements.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

using table = std::map<std::string, std::string>;

// A table of the built dissector: code -> the rest of its row.
table lua_table(const std::string &lua, const std::string &name)
{
    const size_t start = lua.find("local " + name + " = {\n");
    if (start == std::string::npos)
        return {};
    std::istringstream body(lua.substr(start, lua.find("\n}", start) - start));
    const std::regex row(R"re(\s+(\w+) = (.*),)re");
    table rows;
    std::smatch m;
    for (std::string line; std::getline(body, line);)
        if (std::regex_match(line, m, row))
            rows[m[1]] = m[2];
    return rows;
}

// The rows the catalogue gives the families (the first family's kind wins).
table catalogue_table(std::initializer_list<element_family> families)
{
    table rows;
    for (const element_rule &rule : element_catalogue)
        for (const element_family family : families)
            if (const auto kind = static_cast<int>(rule.kind(family)); kind != 0) {
                const std::string size = rule.exact != 0 ? ", size = " + std::to_string(rule.exact)
                                         : rule.max != 0 ? ", max = " + std::to_string(rule.max)
                                                         : "";
                rows.emplace(rule.name, std::string("{\"") + "-ctbre"[kind] + '"' + size + "}");
            }
    return rows;
}

// The build writes the tables into the dissector, with a field and a name
// for every code that the catalogue gives the transport, and no other.
TEST(Elements, DissectorTablesComeFromTheCatalogue)
{
    std::stringstream file;
    file << std::ifstream(ORV_BUILD_DIR "/dist/wireshark/orvane.lua").rdbuf();
    const std::string lua = file.str();
    const table ipconf = lua_table(lua, "ipconf"), notifier = lua_table(lua, "notifier");
    EXPECT_EQ(ipconf, catalogue_table({element_family::ipconf}));
    EXPECT_EQ(notifier, catalogue_table({element_family::auth, element_family::notif}));
    for (const auto &[names, kinds] :
         {std::pair{"ipconf_elements", ipconf}, std::pair{"notifier_elements", notifier}}) {
        std::set<std::string> named, catalogued;
        for (const auto &[code, field] : lua_table(lua, names))
            named.insert(code);
        for (const auto &[code, kind] : kinds)
            catalogued.insert(code);
        EXPECT_EQ(named, catalogued) << names;
    }
}

TEST(Elements, TextViewStopsAtTheZeroByteOrTheFieldsEnd)
{
    uint8_t field[] = {'U', 'S', 'E', 'R', 0, 0, 0, 3, 'a', 'b', 'c', 'd'};
    EXPECT_EQ(element_text(reinterpret_cast<char *>(field + 8)), "abc");
    field[9] = 0;
    EXPECT_EQ(element_text(reinterpret_cast<char *>(field + 8)), "a");
    EXPECT_EQ(element_text(nullptr), "");
}

} // namespace
