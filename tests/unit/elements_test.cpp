#include "ipconf/elements.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

namespace {

using table = std::map<std::string, std::string>;

std::string body_of(const std::string &lua, const std::string &name)
{
    const size_t start = lua.find("local " + name + " = {");
    return start == std::string::npos ? "" : lua.substr(start, lua.find("\n}", start) - start);
}

// One of the built dissector's tables: code -> kind letter and size rule.
table lua_table(const std::string &lua, const std::string &name)
{
    const std::string body = body_of(lua, name);
    const std::regex row(R"re((\w+) = \{"(\w)"(?:, (size|max) = (\d+))?\})re");
    table rows;
    for (std::sregex_iterator it(body.begin(), body.end(), row), end; it != end; ++it) {
        const std::smatch &m = *it;
        rows[m[1]] = m[2].str() + (m[3].matched ? " " + m[3].str() + " " + m[4].str() : "");
    }
    return rows;
}

table catalogue_table(std::initializer_list<element_family> families)
{
    static constexpr char letters[] = "-ctbre"; // by element_kind
    table rows;
    for (const element_rule &rule : element_catalogue) {
        for (const element_family family : families) {
            const element_kind kind = rule.kind(family);
            if (kind == element_kind::none)
                continue;
            std::string entry(1, letters[static_cast<int>(kind)]);
            if (rule.exact != 0)
                entry += " size " + std::to_string(rule.exact);
            else if (rule.max != 0)
                entry += " max " + std::to_string(rule.max);
            rows[std::string(rule.name)] = entry;
        }
    }
    return rows;
}

// The build writes the tables into the dissector; its template names only
// codes that the catalogue gives the transport.
TEST(Elements, DissectorTablesComeFromTheCatalogue)
{
    std::stringstream lua;
    lua << std::ifstream(ORV_BUILD_DIR "/dist/wireshark/orvane.lua").rdbuf();
    const table ipconf = lua_table(lua.str(), "ipconf"), notifier = lua_table(lua.str(), "notifier");
    EXPECT_EQ(ipconf, catalogue_table({element_family::ipconf}));
    EXPECT_EQ(notifier, catalogue_table({element_family::auth, element_family::notif}));
    for (const auto &[transport, kinds] : {std::pair{"ipconf_names", ipconf}, std::pair{"notifier_names", notifier}}) {
        const std::string body = body_of(lua.str(), transport);
        const std::regex name(R"re((\w+) = ")re");
        for (std::sregex_iterator it(body.begin(), body.end(), name), end; it != end; ++it)
            EXPECT_TRUE(kinds.contains((*it)[1])) << transport << " names " << (*it)[1];
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
