#include "store.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace cendrix_store {

namespace {

using cendrix_wire::property_map;
using cendrix_wire::property_value;

constexpr size_t max_store_size = 4 << 20;
// The format itself nests four deep; anything far deeper is not a store.
constexpr size_t max_depth = 16;

// Syntax and nesting check that keeps the parser's own fault text.
class syntax_check : public json::json_sax_t {
public:
    std::string fault;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t &) override { return true; }
    bool string(string_t &) override { return true; }
    bool binary(binary_t &) override { return true; }
    bool start_object(std::size_t) override { return enter(); }
    bool key(string_t &) override { return true; }
    bool end_object() override { return leave(); }
    bool start_array(std::size_t) override { return enter(); }
    bool end_array() override { return leave(); }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &error) override
    {
        fault = std::string("not JSON: ") + error.what();
        return false;
    }

private:
    size_t depth = 0;

    bool enter()
    {
        if (++depth <= max_depth)
            return true;
        fault = "nested too deeply";
        return false;
    }
    bool leave()
    {
        --depth;
        return true;
    }
};

bool parse_number_key(const std::string &key, uint32_t &number)
{
    if (key.empty() || key.size() > 10 || (key.size() > 1 && key[0] == '0'))
        return false;
    uint64_t value = 0;
    for (const char c : key) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > UINT32_MAX)
        return false;
    number = static_cast<uint32_t>(value);
    return true;
}

bool is_property_value(const json &value)
{
    return value.is_string() || value.is_boolean() ||
           (value.is_number_unsigned() && value.get<uint64_t>() <= UINT32_MAX);
}

property_value to_property(const json &value)
{
    if (value.is_string())
        return value.get<std::string>();
    if (value.is_boolean())
        return value.get<bool>();
    return static_cast<uint32_t>(value.get<uint64_t>());
}

json to_json(const property_value &value)
{
    if (const auto *text = std::get_if<std::string>(&value))
        return *text;
    if (const auto *number = std::get_if<uint32_t>(&value))
        return *number;
    return std::get<bool>(value);
}

std::string quoted(const std::string &text)
{
    return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string check_properties(const json &object, const std::string &where)
{
    if (!object.is_object())
        return where + ": not an object";
    for (const auto &[key, value] : object.items()) {
        if (!is_property_value(value))
            return where + " " + quoted(key) + ": not a text, a number from 0 to 4294967295 or a boolean";
    }
    return {};
}

std::string check_configurations(const json &configurations)
{
    if (!configurations.is_object())
        return "\"configurations\": not an object";
    for (const auto &[key, value] : configurations.items()) {
        uint32_t number = 0;
        if (!parse_number_key(key, number))
            return "configuration " + quoted(key) + ": not a decimal number";
        if (auto fault = check_properties(value, "configuration " + quoted(key)); !fault.empty())
            return fault;
    }
    return {};
}

std::string check_resources(const json &resources)
{
    if (!resources.is_object())
        return "\"resources\": not an object";
    for (const auto &[key, list] : resources.items()) {
        const std::string where = "resource class " + quoted(key);
        uint32_t number = 0;
        if (!parse_number_key(key, number))
            return where + ": not a decimal number";
        if (!list.is_array())
            return where + ": not an array";
        std::vector<uint64_t> ids;
        for (size_t index = 0; index < list.size(); ++index) {
            const std::string entry = where + " [" + std::to_string(index) + "]";
            if (auto fault = check_properties(list[index], entry); !fault.empty())
                return fault;
            const auto id = list[index].find("id");
            if (id == list[index].end() || !id->is_number_unsigned())
                return entry + ": no numeric \"id\"";
            for (const uint64_t seen : ids) {
                if (seen == id->get<uint64_t>())
                    return entry + ": \"id\" " + std::to_string(seen) + " used twice";
            }
            ids.push_back(id->get<uint64_t>());
        }
    }
    return {};
}

std::string read_file(const std::string &path, std::string &text)
{
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return std::string("cannot read: ") + std::strerror(errno);
    std::string fault;
    char buffer[65536];
    size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, count);
        if (text.size() > max_store_size) {
            fault = "larger than " + std::to_string(max_store_size) + " bytes";
            break;
        }
    }
    if (fault.empty() && std::ferror(file))
        fault = std::string("cannot read: ") + std::strerror(errno);
    std::fclose(file);
    return fault;
}

template <typename Json>
Json *find_config(Json &document, uint32_t number)
{
    const auto configurations = document.find("configurations");
    if (configurations == document.end())
        return nullptr;
    const auto config = configurations->find(std::to_string(number));
    return config == configurations->end() ? nullptr : &*config;
}

template <typename Json>
Json *find_class(Json &document, uint32_t resource_class)
{
    const auto resources = document.find("resources");
    if (resources == document.end())
        return nullptr;
    const auto list = resources->find(std::to_string(resource_class));
    return list == resources->end() ? nullptr : &*list;
}

property_map to_properties(const json &object)
{
    property_map properties;
    for (const auto &[key, value] : object.items())
        properties.emplace(key, to_property(value));
    return properties;
}

bool matches(const json &object, const property_map &match)
{
    for (const auto &[key, wanted] : match) {
        const auto value = object.find(key);
        if (value == object.end() || to_property(*value) != wanted)
            return false;
    }
    return true;
}

// Merges into `object` after checking every property against what it holds.
write_result merge(json &object, const property_map &properties)
{
    for (const auto &[key, value] : properties) {
        const auto old = object.find(key);
        if (old != object.end() && to_property(*old).index() != value.index())
            return {outcome::invalid_args, "property " + quoted(key) + " has another type"};
    }
    for (const auto &[key, value] : properties)
        object[key] = to_json(value);
    return {};
}

} // namespace

std::optional<json> load(const std::string &path, std::string &fault)
{
    std::string text;
    fault = read_file(path, text);
    if (!fault.empty())
        return std::nullopt;
    syntax_check syntax;
    if (!json::sax_parse(text, &syntax)) {
        fault = syntax.fault.empty() ? "not JSON" : syntax.fault;
        return std::nullopt;
    }
    json document = json::parse(text, nullptr, false);
    if (document.is_discarded()) {
        fault = "not JSON";
        return std::nullopt;
    }
    fault = check(document);
    if (!fault.empty())
        return std::nullopt;
    return document;
}

std::string check(const json &document)
{
    if (!document.is_object())
        return "not a JSON object";
    for (const auto &[key, value] : document.items()) {
        std::string fault;
        if (key == "configurations")
            fault = check_configurations(value);
        else if (key == "resources")
            fault = check_resources(value);
        else
            fault = "unknown member " + quoted(key);
        if (!fault.empty())
            return fault;
    }
    return {};
}

std::string save(const std::string &path, const json &document)
{
    std::string text;
    try {
        text = document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    } catch (...) {
        return "cannot format the store";
    }
    std::string temporary = path + ".XXXXXX";
    // 0600: the store holds password hashes.
    const int fd = mkstemp(temporary.data());
    if (fd < 0)
        return std::string("cannot create ") + temporary + ": " + std::strerror(errno);
    std::string_view rest = text;
    std::string fault;
    while (!rest.empty() && fault.empty()) {
        const ssize_t written = write(fd, rest.data(), rest.size());
        if (written < 0 && errno != EINTR)
            fault = std::string("cannot write ") + temporary + ": " + std::strerror(errno);
        else if (written > 0)
            rest.remove_prefix(static_cast<size_t>(written));
    }
    if (fault.empty() && fsync(fd) < 0)
        fault = std::string("cannot sync ") + temporary + ": " + std::strerror(errno);
    if (close(fd) < 0 && fault.empty())
        fault = std::string("cannot close ") + temporary + ": " + std::strerror(errno);
    if (fault.empty() && rename(temporary.c_str(), path.c_str()) < 0)
        fault = std::string("cannot rename ") + temporary + ": " + std::strerror(errno);
    if (!fault.empty()) {
        unlink(temporary.c_str());
        return fault;
    }
    // The rename itself is durable only once the folder is synced.
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int folder_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (folder_fd >= 0) {
        fsync(folder_fd);
        close(folder_fd);
    }
    return {};
}

std::optional<property_map> get_config(const json &document, uint32_t number)
{
    const json *config = find_config(document, number);
    if (config == nullptr)
        return std::nullopt;
    return to_properties(*config);
}

std::optional<property_map> find_resource(const json &document, uint32_t resource_class, const property_map &match)
{
    const json *list = find_class(document, resource_class);
    if (list == nullptr)
        return std::nullopt;
    for (const json &resource : *list) {
        if (matches(resource, match))
            return to_properties(resource);
    }
    return std::nullopt;
}

write_result set_config(json &document, uint32_t number, const property_map &properties)
{
    json *config = find_config(document, number);
    if (config == nullptr)
        return {outcome::not_found, "no configuration " + std::to_string(number)};
    return merge(*config, properties);
}

write_result set_resource(json &document, uint32_t resource_class, uint32_t id, const property_map &properties)
{
    const auto id_property = properties.find("id");
    if (id_property != properties.end() && id_property->second != property_value(id))
        return {outcome::invalid_args, "\"id\" cannot be changed"};
    json *list = find_class(document, resource_class);
    if (list != nullptr) {
        for (json &resource : *list) {
            if (resource["id"].get<uint64_t>() == id)
                return merge(resource, properties);
        }
    }
    return {outcome::not_found, "no resource " + std::to_string(id) + " of class " + std::to_string(resource_class)};
}

std::string describe(const property_map &properties)
{
    json object = json::object();
    for (const auto &[key, value] : properties)
        object[key] = to_json(value);
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace cendrix_store
