#include "ipconf/ipconf_msg.hpp"

#include <cstdlib>
#include <cstring>

#include "ipconf/auth.hpp"
#include "util/tlv_walk.hpp"

namespace {

constexpr auto has_nested = element_nests<element_family::ipconf>;

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
    writer = open_child(writer, "INTF"_tlv);
    writer = add_text(writer, "MAC"_tlv, conf->mac);
    if (message_type == "INFO"_tlv) {
        writer = add_text(writer, "NAME"_tlv, conf->name);
        writer = add_number(writer, "ROLE"_tlv, conf->role, INTERFACE_ROLE_NOT_SET);
    }
    writer = add_number(writer, "STAT"_tlv, conf->link_state, LINK_STATE_NOT_SET);
    writer = open_child(writer, "IPV4"_tlv);
    writer = add_number(writer, "MODE"_tlv, conf->ipv4_mode, IPV4_MODE_NOT_SET);
    writer = add_text(writer, "ADDR"_tlv, conf->ipv4);
    writer = add_text(writer, "MASK"_tlv, conf->netmask);
    writer = add_text(writer, "GWAY"_tlv, conf->gateway);
    writer = add_text(writer, "BCST"_tlv, conf->broadcast);
    writer = add_text(writer, "DNS"_tlv, conf->dns);
    writer = add_text(writer, "WINS"_tlv, conf->wins);
    writer = close_child(writer); // IPV4
    return close_child(writer);   // INTF
}

// ---- Parsing

// The one rule for a field this family takes: the catalogue's size rule; a
// text also ends with its zero byte and a byte field is not empty.
bool is_valid_field(const tlv_walk &walk)
{
    const uint32_t length = walk.length();
    switch (element_kind_of(element_family::ipconf, walk.type())) {
    case element_kind::text:
        return length >= 1 && element_fits(walk.type(), length) && walk.value()[length - 1] == 0;
    case element_kind::byte:
        return length >= 1;
    default:
        return element_fits(walk.type(), length);
    }
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

field take(const tlv_walk &walk, char **out)
{
    if (!is_valid_field(walk))
        return field::bad;
    *out = walk.text();
    return field::taken;
}

field take(const tlv_walk &walk, uint8_t **out)
{
    if (!is_valid_field(walk))
        return field::bad;
    *out = walk.value();
    return field::taken;
}

// A byte field into a number; out may be null (checked, not stored).
template <typename Number>
field take(const tlv_walk &walk, Number *out)
{
    if (!is_valid_field(walk))
        return field::bad;
    if (out != nullptr)
        *out = walk.value()[0];
    return field::taken;
}

int ipconf_msg_parse_get_interface(uint8_t **cursor, size_t *avail, interface_conf *conf, uint32_t message_type)
{
    if (cursor == nullptr || *cursor == nullptr || avail == nullptr || conf == nullptr)
        return -1;
    *conf = interface_conf{nullptr,
                           nullptr,
                           INTERFACE_ROLE_NOT_SET,
                           LINK_STATE_NOT_SET,
                           IPV4_MODE_NOT_SET,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr};
    const bool in_info = message_type == "INFO"_tlv;
    tlv_walk walk(cursor, avail);
    return parse_message(walk, "INTF"_tlv, true, [&](uint32_t type) {
        switch (type) {
        case "INTF"_tlv:
            return field::stop;
        case "MAC"_tlv:
            return take(walk, &conf->mac);
        case "NAME"_tlv:
            return in_info ? take(walk, &conf->name) : field::bad;
        case "ROLE"_tlv:
            return in_info ? take(walk, &conf->role) : field::bad;
        case "STAT"_tlv:
            return take(walk, &conf->link_state);
        case "MODE"_tlv:
            return take(walk, &conf->ipv4_mode);
        case "ADDR"_tlv:
            return take(walk, &conf->ipv4);
        case "MASK"_tlv:
            return take(walk, &conf->netmask);
        case "GWAY"_tlv:
            return take(walk, &conf->gateway);
        case "BCST"_tlv:
            return take(walk, &conf->broadcast);
        case "DNS"_tlv:
            return take(walk, &conf->dns);
        case "WINS"_tlv:
            return take(walk, &conf->wins);
        default:
            return field::taken;
        }
    });
}

} // namespace

uint8_t *ipconf_msg_build_look()
{
    return tlv_single_raw("LOOK"_tlv, nullptr, 0);
}

tlv_writer *ipconf_msg_open_info(const product_info *info, uint8_t protocol)
{
    if (info == nullptr)
        return nullptr;
    tlv_writer *writer = tlv_write_open(nullptr, "INFO"_tlv);
    writer = add_text(writer, "PUID"_tlv, info->puid);
    writer = add_byte(writer, "STAT"_tlv, static_cast<uint8_t>(info->mode));
    writer = add_text(writer, "HNAM"_tlv, info->host_name);
    writer = add_text(writer, "PNAM"_tlv, info->product_name);
    writer = add_text(writer, "PRID"_tlv, info->product_id);
    writer = add_text(writer, "HWID"_tlv, info->hardware_id);
    writer = add_text(writer, "HWRV"_tlv, info->hardware_revision);
    writer = add_text(writer, "SVER"_tlv, info->system_version);
    return add_byte(writer, "PROT"_tlv, protocol);
}

tlv_writer *ipconf_msg_add_interface_to_info(tlv_writer *writer, const interface_conf *conf)
{
    return ipconf_msg_add_interface(writer, conf, "INFO"_tlv);
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
    uint8_t password[SHA1_DIGEST_SIZE];
    if (auth_msg_build_challenged_password(challenge, challenge_length, password_hash, password) != 0)
        return nullptr;
    tlv_writer *writer = tlv_write_open(nullptr, "CONF"_tlv);
    writer = add_text(writer, "PUID"_tlv, puid);
    writer = add_text(writer, "USER"_tlv, user);
    return writer == nullptr ? nullptr : tlv_nest_raw(writer, "PASS"_tlv, password, sizeof password);
}

tlv_writer *ipconf_msg_set_conf_hostname(tlv_writer *writer, const char *host_name)
{
    return add_text(writer, "HNAM"_tlv, host_name);
}

tlv_writer *ipconf_msg_add_interface_to_conf(tlv_writer *writer, const interface_conf *conf)
{
    return ipconf_msg_add_interface(writer, conf, "CONF"_tlv);
}

uint8_t *ipconf_msg_build_ok(const char *puid, const char *address)
{
    tlv_writer *writer = tlv_write_open(nullptr, "OK"_tlv);
    writer = add_text(writer, "PUID"_tlv, puid);
    writer = add_text(writer, "ADDR"_tlv, address);
    return finish(writer);
}

uint8_t *ipconf_msg_build_error(const char *puid, const char *address, const char *text)
{
    tlv_writer *writer = tlv_write_open(nullptr, "ERR"_tlv);
    writer = add_text(writer, "PUID"_tlv, puid);
    writer = add_text(writer, "ADDR"_tlv, address);
    writer = add_text(writer, "EMSG"_tlv, text);
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
    return parse_message(walk, "INFO"_tlv, true, [&](uint32_t type) {
        switch (type) {
        case "INTF"_tlv:
            return field::stop;
        case "PUID"_tlv:
            return take(walk, &info->puid);
        case "STAT"_tlv:
            return take(walk, &info->mode);
        case "HNAM"_tlv:
            return take(walk, &info->host_name);
        case "PNAM"_tlv:
            return take(walk, &info->product_name);
        case "PRID"_tlv:
            return take(walk, &info->product_id);
        case "HWID"_tlv:
            return take(walk, &info->hardware_id);
        case "HWRV"_tlv:
            return take(walk, &info->hardware_revision);
        case "SVER"_tlv:
            return take(walk, &info->system_version);
        case "PROT"_tlv:
            return take(walk, protocol);
        default:
            return field::taken;
        }
    });
}

int ipconf_msg_parse_get_interface_from_info(uint8_t **cursor, size_t *avail, interface_conf *conf)
{
    return ipconf_msg_parse_get_interface(cursor, avail, conf, "INFO"_tlv);
}

int ipconf_msg_parse_conf(uint8_t **cursor, size_t *avail, conf_auth *auth, char **host_name)
{
    if (cursor == nullptr || *cursor == nullptr || avail == nullptr || auth == nullptr || host_name == nullptr)
        return -1;
    *auth = conf_auth{nullptr, nullptr, nullptr};
    *host_name = nullptr;
    tlv_walk walk(cursor, avail);
    return parse_message(walk, "CONF"_tlv, true, [&](uint32_t type) {
        switch (type) {
        case "INTF"_tlv:
            return field::stop;
        case "PUID"_tlv:
            return take(walk, &auth->puid);
        case "USER"_tlv:
            return take(walk, &auth->user);
        case "PASS"_tlv:
            return take(walk, &auth->password);
        case "HNAM"_tlv:
            return take(walk, host_name);
        default:
            return field::taken;
        }
    });
}

int ipconf_msg_parse_get_interface_from_conf(uint8_t **cursor, size_t *avail, interface_conf *conf)
{
    return ipconf_msg_parse_get_interface(cursor, avail, conf, "CONF"_tlv);
}

int ipconf_msg_parse_ok(uint8_t *message, size_t avail, char **puid, char **address)
{
    if (message == nullptr || puid == nullptr || address == nullptr)
        return -1;
    *puid = *address = nullptr;
    tlv_walk walk(&message, &avail);
    return parse_message(walk, "OK"_tlv, false, [&](uint32_t type) {
        switch (type) {
        case "PUID"_tlv:
            return take(walk, puid);
        case "ADDR"_tlv:
            return take(walk, address);
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
    return parse_message(walk, "ERR"_tlv, false, [&](uint32_t type) {
        switch (type) {
        case "PUID"_tlv:
            return take(walk, puid);
        case "ADDR"_tlv:
            return take(walk, address);
        case "EMSG"_tlv:
            return take(walk, text);
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
    return walk.step() == tlv_walk::element && walk.type() == "LOOK"_tlv ? 0 : -1;
}

int ipconf_msg_parse_get_puid(uint8_t *message, size_t avail, char **puid)
{
    if (message == nullptr || puid == nullptr)
        return -1;
    *puid = nullptr;
    tlv_walk walk(&message, &avail);
    while (walk.step() == tlv_walk::element) {
        const uint32_t type = walk.type();
        if (walk.level() > 0 && type == "PUID"_tlv)
            return take(walk, puid) == field::taken ? 0 : -1;
        walk.descend(has_nested(type) != 0);
    }
    return -1;
}
