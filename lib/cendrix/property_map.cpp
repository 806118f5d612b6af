#include "lib/cendrix/property_map.hpp"

#include <cerrno>
#include <cstring>
#include <systemd/sd-bus.h>

namespace cendrix_wire {

namespace {

int read_value(sd_bus_message *message, property_value &value)
{
    char type = 0;
    const char *contents = nullptr;
    int result = sd_bus_message_peek_type(message, &type, &contents);
    if (result < 0)
        return result;
    if (type != SD_BUS_TYPE_VARIANT || contents == nullptr)
        return -EMEDIUMTYPE;
    if (std::strcmp(contents, "s") == 0) {
        const char *text = nullptr;
        result = sd_bus_message_read(message, "v", "s", &text);
        if (result < 0)
            return result;
        // A text node from the spares keeps its buffer.
        if (auto *held = std::get_if<std::string>(&value))
            held->assign(text);
        else
            value = std::string(text);
    } else if (std::strcmp(contents, "u") == 0) {
        uint32_t number = 0;
        result = sd_bus_message_read(message, "v", "u", &number);
        if (result >= 0)
            value = number;
    } else if (std::strcmp(contents, "b") == 0) {
        int flag = 0;
        result = sd_bus_message_read(message, "v", "b", &flag);
        if (result >= 0)
            value = flag != 0;
    } else {
        return -EMEDIUMTYPE;
    }
    return result < 0 ? result : 0;
}

} // namespace

int read_properties(sd_bus_message *message, property_map &properties, property_nodes *spare)
{
    int result = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "{sv}");
    if (result < 0)
        return result;
    while ((result = sd_bus_message_enter_container(message, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
        const char *key = nullptr;
        result = sd_bus_message_read(message, "s", &key);
        if (result < 0)
            return result;
        if (spare != nullptr && !spare->empty() && properties.find(key) == properties.end()) {
            property_map::node_type node = std::move(spare->back());
            spare->pop_back();
            node.key().assign(key);
            result = read_value(message, node.mapped());
            if (result < 0)
                return result;
            properties.insert(std::move(node));
        } else {
            property_value value;
            result = read_value(message, value);
            if (result < 0)
                return result;
            properties.insert_or_assign(key, std::move(value));
        }
        result = sd_bus_message_exit_container(message);
        if (result < 0)
            return result;
    }
    if (result < 0)
        return result;
    return sd_bus_message_exit_container(message) < 0 ? -EBADMSG : 0;
}

void recycle_properties(property_map &properties, property_nodes &spare) noexcept
{
    // Enough for the largest reply the client expects; a bigger one is let go.
    constexpr size_t most_kept = 32;
    try {
        while (!properties.empty() && spare.size() < most_kept)
            spare.push_back(properties.extract(properties.begin()));
    } catch (...) {
        // No room to keep a node: it is released instead.
    }
    properties.clear();
}

int append_properties(sd_bus_message *message, const property_map &properties)
{
    int result = sd_bus_message_open_container(message, SD_BUS_TYPE_ARRAY, "{sv}");
    for (auto entry = properties.begin(); result >= 0 && entry != properties.end(); ++entry) {
        const char *key = entry->first.c_str();
        const property_value &value = entry->second;
        if (const auto *text = std::get_if<std::string>(&value))
            result = sd_bus_message_append(message, "{sv}", key, "s", text->c_str());
        else if (const auto *number = std::get_if<uint32_t>(&value))
            result = sd_bus_message_append(message, "{sv}", key, "u", *number);
        else
            result = sd_bus_message_append(message, "{sv}", key, "b", std::get<bool>(value) ? 1 : 0);
    }
    if (result < 0)
        return result;
    result = sd_bus_message_close_container(message);
    return result < 0 ? result : 0;
}

} // namespace cendrix_wire
