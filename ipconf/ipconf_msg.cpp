#include "ipconf/ipconf_msg.hpp"

#include <cstdlib>
#include <cstring>

#include "ipconf/auth_msg.hpp"
#include "util/tlv_walk.hpp"

namespace {

int has_nested(uint32_t type)
{
    switch (type) {
    case IPCONF_CHAL:
    case IPCONF_CHRQ:
    case IPCONF_OK:
    case IPCONF_ERR:
    case IPCONF_IPV4:
    case IPCONF_INTF:
    case IPCONF_CONF:
    case IPCONF_INFO:
        return 1;
    default:
        return 0;
    }
}

// ---- Building: each helper passes a null writer straight through, so a
// builder can chain them and test once.

tlv_writer *add_text(tlv_writer *writer, uint32_t type, const char *text)
{
    if (writer == nullptr || text == nullptr || text[0] == '\0')
        return writer;
    return tlv_nest_raw(writer, type, text, std::strlen(text) + 1);
}

tlv_writer *add_byte(tlv_writer *writer, uint32_t type, uint8_t byte)
{
    if (writer == nullptr)
        return nullptr;
    return tlv_nest_raw(writer, type, &byte, 1);
}

tlv_writer *add_number(tlv_writer *writer, uint32_t type, int32_t number, int32_t not_set)
{
    if (number == not_set)
        return writer;
    return add_byte(writer, type, static_cast<uint8_t>(number));
}

tlv_writer *open_child(tlv_writer *writer, uint32_t type)
{
    return writer == nullptr ? nullptr : tlv_write_open(writer, type);
}

tlv_writer *close_child(tlv_writer *writer)
{
    return writer == nullptr ? nullptr : tlv_write_close(writer);
}

void release(tlv_writer *writer)
{
    if (writer != nullptr)
        std::free(tlv_close_all(&writer));
}

uint8_t *finish(tlv_writer *writer)
{
    return writer == nullptr ? nullptr : tlv_close_all(&writer);
}

tlv_writer *ipconf_msg_add_interface(tlv_writer *writer, const interface_conf *conf, uint32_t message_type)
{
    if (conf == nullptr) {
        release(writer);
        return nullptr;
    }
    writer = open_child(writer, IPCONF_INTF);
    writer = add_text(writer, IPCONF_MAC, conf->mac);
    if (message_type == IPCONF_INFO) {
        writer = add_text(writer, IPCONF_NAME, conf->name);
        writer = add_number(writer, IPCONF_ROLE, conf->role, INTERFACE_ROLE_NOT_SET);
    }
    writer = add_number(writer, IPCONF_STAT, conf->link_state, LINK_STATE_NOT_SET);
    writer = open_child(writer, IPCONF_IPV4);
    writer = add_number(writer, IPCONF_MODE, conf->ipv4_mode, IPV4_MODE_NOT_SET);
    writer = add_text(writer, IPCONF_ADDR, conf->ipv4);
    writer = add_text(writer, IPCONF_MASK, conf->netmask);
    writer = add_text(writer, IPCONF_GWAY, conf->gateway);
    writer = add_text(writer, IPCONF_BCST, conf->broadcast);
    writer = add_text(writer, IPCONF_DNS, conf->dns);
    writer = add_text(writer, IPCONF_WINS, conf->wins);
    writer = close_child(writer);  // IPV4
    return close_child(writer);    // INTF
}

// ---- Parsing

// A text field: at most `max` bytes, ending with its zero byte.
bool is_text(const tlv_walk &walk, uint32_t max)
{
    const uint32_t length = walk.length();
    return length >= 1 && length <= max && walk.value()[length - 1] == 0;
}

bool is_exact_text(const tlv_walk &walk, uint32_t size)
{
    return walk.length() == size && is_text(walk, size);
}

bool is_byte(const tlv_walk &walk)
{
    return walk.length() >= 1;
}

using field = tlv_walk::field;

// The head of INFO or CONF, and OK and ERR, are one walk with a field handler.
// by_reference: the caller's position moves (INFO, CONF heads); otherwise a
// failed walk is released where it stands.
template <typename Handler>
int parse_message(tlv_walk &walk, uint32_t envelope, bool by_reference, Handler handle)
{
    return walk.walk_envelope(
        envelope, by_reference, [](uint32_t type) { return has_nested(type) != 0; }, handle);
}

field take_text(const tlv_walk &walk, uint32_t max, char **out)
{
    if (!is_text(walk, max))
        return field::bad;
    *out = walk.text();
    return field::taken;
}

field take_exact_text(const tlv_walk &walk, uint32_t size, char **out)
{
    if (!is_exact_text(walk, size))
        return field::bad;
    *out = walk.text();
    return field::taken;
}

template <typename Number>
field take_byte(const tlv_walk &walk, Number *out)
{
    if (!is_byte(walk))
        return field::bad;
    if (out != nullptr)
        *out = walk.value()[0];
    return field::taken;
}

int ipconf_msg_parse_get_interface(uint8_t **cursor, size_t *avail, interface_conf *conf, uint32_t message_type)
{
    if (cursor == nullptr || *cursor == nullptr || avail == nullptr || conf == nullptr)
        return -1;
    *conf = interface_conf{nullptr, nullptr, INTERFACE_ROLE_NOT_SET, LINK_STATE_NOT_SET, IPV4_MODE_NOT_SET,
                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    const bool in_info = message_type == IPCONF_INFO;
    tlv_walk walk(cursor, avail);
    return parse_message(walk, IPCONF_INTF, true, [&](uint32_t type) {
        switch (type) {
        case IPCONF_INTF:
            return field::stop;
        case IPCONF_MAC:
            return take_exact_text(walk, IPCONF_MAC_SIZE, &conf->mac);
        case IPCONF_NAME:
            return in_info ? take_text(walk, IPCONF_NAME_MAX, &conf->name) : field::bad;
        case IPCONF_ROLE:
            return in_info ? take_byte(walk, &conf->role) : field::bad;
        case IPCONF_STAT:
            return take_byte(walk, &conf->link_state);
        case IPCONF_MODE:
            return take_byte(walk, &conf->ipv4_mode);
        case IPCONF_ADDR:
            return take_text(walk, IPCONF_ADDRESS_MAX, &conf->ipv4);
        case IPCONF_MASK:
            return take_text(walk, IPCONF_ADDRESS_MAX, &conf->netmask);
        case IPCONF_GWAY:
            return take_text(walk, IPCONF_ADDRESS_MAX, &conf->gateway);
        case IPCONF_BCST:
            return take_text(walk, IPCONF_ADDRESS_MAX, &conf->broadcast);
        case IPCONF_DNS:
            return take_text(walk, IPCONF_ADDRESS_MAX, &conf->dns);
        case IPCONF_WINS:
            return take_text(walk, IPCONF_ADDRESS_MAX, &conf->wins);
        default:
            return field::taken;
        }
    });
}

} // namespace

uint8_t *ipconf_msg_build_look()
{
    return tlv_single_raw(IPCONF_LOOK, nullptr, 0);
}

tlv_writer *ipconf_msg_open_info(const product_info *info, uint8_t protocol)
{
    if (info == nullptr)
        return nullptr;
    tlv_writer *writer = tlv_write_open(nullptr, IPCONF_INFO);
    writer = add_text(writer, IPCONF_PUID, info->puid);
    writer = add_byte(writer, IPCONF_STAT, static_cast<uint8_t>(info->mode));
    writer = add_text(writer, IPCONF_HNAM, info->host_name);
    writer = add_text(writer, IPCONF_PNAM, info->product_name);
    writer = add_text(writer, IPCONF_PRID, info->product_id);
    writer = add_text(writer, IPCONF_HWID, info->hardware_id);
    writer = add_text(writer, IPCONF_HWRV, info->hardware_revision);
    writer = add_text(writer, IPCONF_SVER, info->system_version);
    return add_byte(writer, IPCONF_PROT, protocol);
}

tlv_writer *ipconf_msg_add_interface_to_info(tlv_writer *writer, const interface_conf *conf)
{
    return ipconf_msg_add_interface(writer, conf, IPCONF_INFO);
}

uint8_t *ipconf_msg_close_info(tlv_writer **writer)
{
    if (writer == nullptr || *writer == nullptr)
        return nullptr;
    return tlv_close_all(writer);
}

tlv_writer *ipconf_msg_open_conf(const char *puid, const char *user, const uint8_t *password_hash,
                                 const uint8_t *challenge, size_t challenge_length)
{
    if (password_hash == nullptr || (challenge == nullptr && challenge_length != 0))
        return nullptr;
    uint8_t password[IPCONF_PASS_SIZE];
    if (auth_msg_build_challenged_password(challenge, challenge_length, password_hash, password) != 0)
        return nullptr;
    tlv_writer *writer = tlv_write_open(nullptr, IPCONF_CONF);
    writer = add_text(writer, IPCONF_PUID, puid);
    writer = add_text(writer, IPCONF_USER, user);
    return writer == nullptr ? nullptr : tlv_nest_raw(writer, IPCONF_PASS, password, sizeof password);
}

tlv_writer *ipconf_msg_set_conf_hostname(tlv_writer *writer, const char *host_name)
{
    return add_text(writer, IPCONF_HNAM, host_name);
}

tlv_writer *ipconf_msg_add_interface_to_conf(tlv_writer *writer, const interface_conf *conf)
{
    return ipconf_msg_add_interface(writer, conf, IPCONF_CONF);
}

uint8_t *ipconf_msg_build_ok(const char *puid, const char *address)
{
    tlv_writer *writer = tlv_write_open(nullptr, IPCONF_OK);
    writer = add_text(writer, IPCONF_PUID, puid);
    writer = add_text(writer, IPCONF_ADDR, address);
    return finish(writer);
}

uint8_t *ipconf_msg_build_error(const char *puid, const char *address, const char *text)
{
    tlv_writer *writer = tlv_write_open(nullptr, IPCONF_ERR);
    writer = add_text(writer, IPCONF_PUID, puid);
    writer = add_text(writer, IPCONF_ADDR, address);
    writer = add_text(writer, IPCONF_EMSG, text);
    return finish(writer);
}

void ipconf_msg_dump(FILE *stream, const uint8_t *message)
{
    if (stream != nullptr && message != nullptr)
        tlv_dump(stream, message, tlv_get_size(message), has_nested);
}

int ipconf_msg_parse_info(uint8_t **cursor, size_t *avail, product_info *info, uint8_t *protocol)
{
    if (cursor == nullptr || *cursor == nullptr || avail == nullptr || info == nullptr)
        return -1;
    info->puid = info->host_name = info->product_name = info->product_id = nullptr;
    info->hardware_id = info->hardware_revision = info->system_version = nullptr;
    tlv_walk walk(cursor, avail);
    return parse_message(walk, IPCONF_INFO, true, [&](uint32_t type) {
        switch (type) {
        case IPCONF_INTF:
            return field::stop;
        case IPCONF_PUID:
            return take_exact_text(walk, IPCONF_PUID_SIZE, &info->puid);
        case IPCONF_STAT:
            return take_byte(walk, &info->mode);
        case IPCONF_HNAM:
            return take_text(walk, IPCONF_TEXT_MAX, &info->host_name);
        case IPCONF_PNAM:
            return take_text(walk, IPCONF_TEXT_MAX, &info->product_name);
        case IPCONF_PRID:
            return take_text(walk, IPCONF_TEXT_MAX, &info->product_id);
        case IPCONF_HWID:
            return take_text(walk, IPCONF_TEXT_MAX, &info->hardware_id);
        case IPCONF_HWRV:
            return take_text(walk, IPCONF_SHORT_TEXT_MAX, &info->hardware_revision);
        case IPCONF_SVER:
            return take_text(walk, IPCONF_SHORT_TEXT_MAX, &info->system_version);
        case IPCONF_PROT:
            return take_byte(walk, protocol);
        default:
            return field::taken;
        }
    });
}

int ipconf_msg_parse_get_interface_from_info(uint8_t **cursor, size_t *avail, interface_conf *conf)
{
    return ipconf_msg_parse_get_interface(cursor, avail, conf, IPCONF_INFO);
}

int ipconf_msg_parse_conf(uint8_t **cursor, size_t *avail, conf_auth *auth, char **host_name)
{
    if (cursor == nullptr || *cursor == nullptr || avail == nullptr || auth == nullptr || host_name == nullptr)
        return -1;
    *auth = conf_auth{nullptr, nullptr, nullptr};
    *host_name = nullptr;
    tlv_walk walk(cursor, avail);
    return parse_message(walk, IPCONF_CONF, true, [&](uint32_t type) {
        switch (type) {
        case IPCONF_INTF:
            return field::stop;
        case IPCONF_PUID:
            return take_exact_text(walk, IPCONF_PUID_SIZE, &auth->puid);
        case IPCONF_USER:
            return take_text(walk, IPCONF_USER_MAX, &auth->user);
        case IPCONF_PASS:
            if (walk.length() != IPCONF_PASS_SIZE)
                return field::bad;
            auth->password = walk.value();
            return field::taken;
        case IPCONF_HNAM:
            return take_text(walk, IPCONF_TEXT_MAX, host_name);
        default:
            return field::taken;
        }
    });
}

int ipconf_msg_parse_get_interface_from_conf(uint8_t **cursor, size_t *avail, interface_conf *conf)
{
    return ipconf_msg_parse_get_interface(cursor, avail, conf, IPCONF_CONF);
}

int ipconf_msg_parse_ok(uint8_t *message, size_t avail, char **puid, char **address)
{
    if (message == nullptr || puid == nullptr || address == nullptr)
        return -1;
    *puid = *address = nullptr;
    tlv_walk walk(&message, &avail);
    return parse_message(walk, IPCONF_OK, false, [&](uint32_t type) {
        switch (type) {
        case IPCONF_PUID:
            return take_exact_text(walk, IPCONF_PUID_SIZE, puid);
        case IPCONF_ADDR:
            return take_text(walk, IPCONF_ADDRESS_MAX, address);
        default:
            return field::taken;
        }
    });
}

int ipconf_msg_parse_error(uint8_t *message, size_t avail, char **puid, char **address, char **text)
{
    if (message == nullptr || puid == nullptr || address == nullptr || text == nullptr)
        return -1;
    *puid = *address = *text = nullptr;
    tlv_walk walk(&message, &avail);
    return parse_message(walk, IPCONF_ERR, false, [&](uint32_t type) {
        switch (type) {
        case IPCONF_PUID:
            return take_exact_text(walk, IPCONF_PUID_SIZE, puid);
        case IPCONF_ADDR:
            return take_text(walk, IPCONF_ADDRESS_MAX, address);
        case IPCONF_EMSG:
            return take_text(walk, UINT32_MAX, text);
        default:
            return field::taken;
        }
    });
}

int ipconf_msg_parse_look(uint8_t *message, size_t avail)
{
    if (message == nullptr)
        return -1;
    tlv_walk walk(&message, &avail);
    return walk.step() == tlv_walk::element && walk.type() == IPCONF_LOOK ? 0 : -1;
}

int ipconf_msg_parse_get_puid(uint8_t *message, size_t avail, char **puid)
{
    if (message == nullptr || puid == nullptr)
        return -1;
    *puid = nullptr;
    tlv_walk walk(&message, &avail);
    while (walk.step() == tlv_walk::element) {
        const uint32_t type = walk.type();
        if (walk.level() > 0 && type == IPCONF_PUID)
            return take_exact_text(walk, IPCONF_PUID_SIZE, puid) == field::taken ? 0 : -1;
        walk.descend(has_nested(type) != 0);
    }
    return -1;
}
