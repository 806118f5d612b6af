#include "cendrix_fake.hpp"

#include "lib/cendrix/cendrix.hpp"

#include <cstdlib>
#include <cstring>

struct cendrix_session {
    cendrix_fake::property_map properties;
};

namespace cendrix_fake {

namespace {

service the_service;

std::string describe(const property_map &properties)
{
    std::string text;
    for (const auto &[key, value] : properties) {
        text += " " + key + "=";
        if (const auto *s = std::get_if<std::string>(&value))
            text += *s;
        else if (const auto *u = std::get_if<uint32_t>(&value))
            text += std::to_string(*u);
        else
            text += std::get<bool>(value) ? "true" : "false";
    }
    return text;
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

} // namespace

service &state()
{
    return the_service;
}

void reset()
{
    the_service = service{};
}

std::vector<std::string> calls_of(const std::string &kind)
{
    std::vector<std::string> lines;
    for (const auto &line : the_service.calls) {
        if (line.rfind(kind + " ", 0) == 0)
            lines.push_back(line);
    }
    return lines;
}

} // namespace cendrix_fake

using cendrix_fake::the_service;

extern "C" {

int cendrix_init(cendrix_context *context)
{
    ++the_service.init_calls;
    if (the_service.init_failures > 0) {
        --the_service.init_failures;
        return -1;
    }
    context->session = new cendrix_session;
    return 0;
}

int cendrix_close(cendrix_context *context)
{
    ++the_service.close_calls;
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
    the_service.calls.push_back("get_config " + std::to_string(number));
    if (the_service.get_config_failures > 0) {
        --the_service.get_config_failures;
        return -1;
    }
    const auto config = the_service.configurations.find(number);
    if (config == the_service.configurations.end())
        return -1;
    context->session->properties = config->second;
    return 0;
}

int cendrix_set_config(cendrix_context *context, uint32_t number)
{
    the_service.calls.push_back("set_config " + std::to_string(number) +
                                cendrix_fake::describe(context->session->properties));
    const auto config = the_service.configurations.find(number);
    if (config == the_service.configurations.end())
        return -1;
    cendrix_fake::merge(config->second, context->session->properties);
    return 0;
}

int cendrix_find_resource(cendrix_context *context, uint32_t resource_class)
{
    the_service.calls.push_back("find " + std::to_string(resource_class) +
                                cendrix_fake::describe(context->session->properties));
    for (const auto &resource : the_service.resources[resource_class]) {
        if (cendrix_fake::matches(resource, context->session->properties)) {
            context->session->properties = resource;
            return 0;
        }
    }
    return -1;
}

int cendrix_set_resource(cendrix_context *context, uint32_t resource_class, uint32_t id)
{
    the_service.calls.push_back("set_resource " + std::to_string(resource_class) + " " + std::to_string(id) +
                                cendrix_fake::describe(context->session->properties));
    for (auto &resource : the_service.resources[resource_class]) {
        if (cendrix_fake::matches(resource, {{"id", id}})) {
            cendrix_fake::merge(resource, context->session->properties);
            return 0;
        }
    }
    return -1;
}

char *cendrix_get_property_string(cendrix_context *context, const char *key)
{
    const auto found = context->session->properties.find(key);
    if (found == context->session->properties.end())
        return nullptr;
    const auto *text = std::get_if<std::string>(&found->second);
    return text == nullptr ? nullptr : strdup(text->c_str());
}

int cendrix_get_property_uint32(cendrix_context *context, const char *key, uint32_t *value)
{
    const auto found = context->session->properties.find(key);
    if (found == context->session->properties.end() || !std::holds_alternative<uint32_t>(found->second))
        return -1;
    *value = std::get<uint32_t>(found->second);
    return 0;
}

int cendrix_get_property_boolean(cendrix_context *context, const char *key, int32_t *value)
{
    const auto found = context->session->properties.find(key);
    if (found == context->session->properties.end())
        return -1;
    if (const auto *flag = std::get_if<bool>(&found->second))
        *value = *flag ? 1 : 0;
    else if (const auto *number = std::get_if<uint32_t>(&found->second))
        *value = static_cast<int32_t>(*number);
    else
        return -1;
    return 0;
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
