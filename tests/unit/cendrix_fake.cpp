#include "cendrix_fake.hpp"

#include "lib/cendrix/cendrix.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

struct cendrix_session {
    cendrix_fake::property_map properties;
};

namespace cendrix_fake {

service state;

std::vector<std::string> calls_of(const std::string &kind)
{
    std::vector<std::string> lines;
    std::ranges::copy_if(state.calls, std::back_inserter(lines), [&](const auto &line) { return line.starts_with(kind + " "); });
    return lines;
}

}  // namespace cendrix_fake

namespace {

using namespace cendrix_fake;

// Records the call with the session's properties.
void record(cendrix_context *context, std::string call)
{
    for (const auto &[key, value] : context->session->properties) {
        const auto *number = std::get_if<uint32_t>(&value);
        call += " " + key + "=" + (number ? std::to_string(*number) : std::get<std::string>(value));
    }
    state.calls.push_back(call);
}

// The first of the resources holding every property of match, or null.
property_map *find(std::vector<property_map> &resources, const property_map &match)
{
    for (auto &resource : resources)
        if (std::ranges::all_of(match, [&](const auto &p) { return resource.contains(p.first) && resource.at(p.first) == p.second; }))
            return &resource;
    return nullptr;
}

int merge(property_map *into, const property_map &properties)
{
    if (!into)
        return -1;
    for (const auto &[key, value] : properties)
        into->insert_or_assign(key, value);
    return 0;
}

template <typename T> const T *property(cendrix_context *context, const char *key)
{
    const auto found = context->session->properties.find(key);
    return found == context->session->properties.end() ? nullptr : std::get_if<T>(&found->second);
}

}  // namespace

extern "C" {

int cendrix_init(cendrix_context *context)
{
    if (state.init_failures > 0 && state.init_failures--)
        return -1;
    context->session = new cendrix_session;
    return 0;
}

int cendrix_close(cendrix_context *context)
{
    ++state.close_calls;
    delete context->session;
    context->session = nullptr;
    return 0;
}

int cendrix_reset(cendrix_context *context)
{
    return context->session->properties.clear(), 0;
}

int cendrix_get_config(cendrix_context *context, uint32_t number)
{
    state.calls.push_back("get_config " + std::to_string(number));
    if ((state.get_config_failures > 0 && state.get_config_failures--) || !state.configurations.contains(number))
        return -1;
    context->session->properties = state.configurations[number];
    return 0;
}

int cendrix_set_config(cendrix_context *context, uint32_t number)
{
    record(context, "set_config " + std::to_string(number));
    return merge(state.configurations.contains(number) ? &state.configurations[number] : nullptr, context->session->properties);
}

int cendrix_find_resource(cendrix_context *context, uint32_t resource_class)
{
    record(context, "find " + std::to_string(resource_class));
    const property_map *found = find(state.resources[resource_class], context->session->properties);
    return found ? (context->session->properties = *found, 0) : -1;
}

int cendrix_set_resource(cendrix_context *context, uint32_t resource_class, uint32_t id)
{
    record(context, "set_resource " + std::to_string(resource_class) + " " + std::to_string(id));
    return merge(find(state.resources[resource_class], {{"id", id}}), context->session->properties);
}

char *cendrix_get_property_string(cendrix_context *context, const char *key)
{
    const auto *text = property<std::string>(context, key);
    return text ? strdup(text->c_str()) : nullptr;
}

int cendrix_get_property_uint32(cendrix_context *context, const char *key, uint32_t *value)
{
    const auto *number = property<uint32_t>(context, key);
    return number ? (*value = *number, 0) : -1;
}

// A number stands for the service sending something that is neither state.
int cendrix_get_property_boolean(cendrix_context *context, const char *key, int32_t *value)
{
    if (const auto *flag = property<bool>(context, key))
        return *value = *flag, 0;
    const auto *number = property<uint32_t>(context, key);
    return number ? (*value = static_cast<int32_t>(*number), 0) : -1;
}

int cendrix_set_property_string(cendrix_context *context, const char *key, const char *value)
{
    return context->session->properties.insert_or_assign(key, std::string(value)), 0;
}

int cendrix_set_property_uint32(cendrix_context *context, const char *key, uint32_t value)
{
    return context->session->properties.insert_or_assign(key, value), 0;
}
}
