#include "ipconf/interface_conf.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct text_field {
    char *interface_conf::*field;
    size_t size;
};

constexpr text_field TEXTS[] = {
    {&interface_conf::name, INTERFACE_CONF_NAME_SIZE},       {&interface_conf::mac, INTERFACE_CONF_MAC_SIZE},
    {&interface_conf::ipv4, INTERFACE_CONF_ADDRESS_SIZE},    {&interface_conf::netmask, INTERFACE_CONF_ADDRESS_SIZE},
    {&interface_conf::gateway, INTERFACE_CONF_ADDRESS_SIZE}, {&interface_conf::broadcast, INTERFACE_CONF_ADDRESS_SIZE},
    {&interface_conf::dns, INTERFACE_CONF_ADDRESS_SIZE},     {&interface_conf::wins, INTERFACE_CONF_ADDRESS_SIZE},
};

void set_defaults(interface_conf *conf)
{
    conf->role = INTERFACE_ROLE_NOT_SET;
    conf->link_state = LINK_STATE_NOT_SET;
    conf->ipv4_mode = IPV4_MODE_NOT_SET;
}

} // namespace

void init_interface_conf(interface_conf *conf)
{
    set_defaults(conf);
    bool complete = true;
    for (const text_field &text : TEXTS) {
        conf->*text.field = static_cast<char *>(std::calloc(1, text.size));
        complete = complete && conf->*text.field != nullptr;
    }
    if (!complete) {
        std::perror("malloc failed");
        free_interface_conf(conf);
    }
}

bool interface_conf_has_buffers(const interface_conf *conf)
{
    for (const text_field &text : TEXTS) {
        if (!(conf->*text.field))
            return false;
    }
    return true;
}

void reset_interface_conf(interface_conf *conf)
{
    if (!interface_conf_has_buffers(conf))
        return;
    for (const text_field &text : TEXTS)
        (conf->*text.field)[0] = '\0';
    set_defaults(conf);
}

void free_interface_conf(interface_conf *conf)
{
    for (const text_field &text : TEXTS) {
        std::free(conf->*text.field);
        conf->*text.field = nullptr;
    }
}

int copy_interface_conf(interface_conf *dst, const interface_conf *src)
{
    if (!interface_conf_has_buffers(dst))
        return -1;
    for (const text_field &text : TEXTS) {
        const char *from = src->*text.field;
        if (!from)
            continue;
        const size_t length = strnlen(from, text.size - 1);
        std::memcpy(dst->*text.field, from, length);
        (dst->*text.field)[length] = '\0';
    }
    dst->role = src->role;
    dst->link_state = src->link_state;
    dst->ipv4_mode = src->ipv4_mode;
    return 0;
}

interface_conf *interface_conf_add(list *confs, const interface_conf *src)
{
    auto *conf = static_cast<interface_conf *>(std::malloc(sizeof(interface_conf)));
    if (!conf) {
        std::perror("malloc failed");
        return nullptr;
    }
    init_interface_conf(conf);
    if (copy_interface_conf(conf, src) != 0 || list_add(confs, conf, nullptr) != 0) {
        free_interface_conf(conf);
        std::free(conf);
        return nullptr;
    }
    return conf;
}

void interface_conf_remove_all(list *confs)
{
    list_iterator *it = list_iterator_new(confs, LIST_REMOVING);
    if (!it)
        return;
    while (list_iterator_next(it) == 0) {
        auto *conf = static_cast<interface_conf *>(list_iterator_get(it));
        if (list_iterator_remove(it) != 0)
            break;
        free_interface_conf(conf);
        std::free(conf);
    }
    (void)list_iterator_free(it);
}
