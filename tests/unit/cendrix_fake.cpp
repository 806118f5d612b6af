#include "cendrix_fake.hpp"

#include "lib/cendrix/cendrix.hpp"

#include <cstring>

struct cendrix_session {
    cendrix_fake::property_map properties;
};

namespace cendrix_fake {

service state;

std::vector<std::string> calls_of(const std::string &kind)
{
    std::vector<std::string> lines;
    for (const auto &line : state.calls)
        if (line.rfind(kind + " ", 0) == 0)
            lines.push_back(line);
    return lines;
}

namespace {

void record(cendrix_context *context, const std::string &call)
{
    std::string text = call;
    for (const auto &[key, value] : context->session->properties) {
        text += " " + key + "=";
        if (const auto *s = std::get_if<std::string>(&value))
            text += *s;
        else if (const auto *u = std::get_if<uint32_t>(&value))
            text += std::to_string(*u);
        else
            text += std::get<bool>(value) ? "true" : "false";
    }
    state.calls.push_back(text);
}

bool matches(const property_map &resource, const property_map &match)
{
    for (const auto &[key, value] : match) {
        const auto found = resource.find(key);
        if (found == resource.end() || found->second != value)
            return false;
    }
    return true;
}

void merge(property_map &into, const property_map &properties)
{
    for (const auto &[key, value] : properties)
        into.insert_or_assign(key, value);
}

const property_map::mapped_type *property(cendrix_context *context, const char *key)
{
    const auto found = context->session->properties.find(key);
    return found == context->session->properties.end() ? nullptr : &found->second;
}

}  // namespace
}  // namespace cendrix_fake

using namespace cendrix_fake;

extern "C" {

int cendrix_init(cendrix_context *context)
{
    ++state.init_calls;
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
    context->session->properties.clear();
    return 0;
}

int cendrix_get_config(cendrix_context *context, uint32_t number)
{
    state.calls.push_back("get_config " + std::to_string(number));
    const auto config = state.configurations.find(number);
    if ((state.get_config_failures > 0 && state.get_config_failures--) || config == state.configurations.end())
        return -1;
    context->session->properties = config->second;
    return 0;
}

int cendrix_set_config(cendrix_context *context, uint32_t number)
{
    record(context, "set_config " + std::to_string(number));
    const auto config = state.configurations.find(number);
    if (config == state.configurations.end())
        return -1;
    merge(config->second, context->session->properties);
    return 0;
}

int cendrix_find_resource(cendrix_context *context, uint32_t resource_class)
{
    record(context, "find " + std::to_string(resource_class));
    for (const auto &resource : state.resources[resource_class]) {
        if (matches(resource, context->session->properties)) {
            context->session->properties = resource;
            return 0;
        }
    }
    return -1;
}

int cendrix_set_resource(cendrix_context *context, uint32_t resource_class, uint32_t id)
{
    record(context, "set_resource " + std::to_string(resource_class) + " " + std::to_string(id));
    for (auto &resource : state.resources[resource_class]) {
        if (matches(resource, {{"id", id}})) {
            merge(resource, context->session->properties);
            return 0;
        }
    }
    return -1;
}

char *cendrix_get_property_string(cendrix_context *context, const char *key)
{
    const auto *value = property(context, key);
    const auto *text = value ? std::get_if<std::string>(value) : nullptr;
    return text ? strdup(text->c_str()) : nullptr;
}

int cendrix_get_property_uint32(cendrix_context *context, const char *key, uint32_t *out)
{
    const auto *value = property(context, key);
    const auto *number = value ? std::get_if<uint32_t>(value) : nullptr;
    return number ? (*out = *number, 0) : -1;
}

int cendrix_get_property_boolean(cendrix_context *context, const char *key, int32_t *out)
{
    const auto *value = property(context, key);
    if (const auto *flag = value ? std::get_if<bool>(value) : nullptr)
        return *out = *flag, 0;
    if (const auto *number = value ? std::get_if<uint32_t>(value) : nullptr)
        return *out = static_cast<int32_t>(*number), 0;
    return -1;
}

int cendrix_set_property_string(cendrix_context *context, const char *key, const char *value)
{
    context->session->properties.insert_or_assign(key, std::string(value));
    return 0;
}

int cendrix_set_property_uint32(cendrix_context *context, const char *key, uint32_t value)
{
    context->session->properties.insert_or_assign(key, value);
    return 0;
}
}
