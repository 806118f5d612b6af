#include "notifier/notif_msg.hpp"

#include <cstdlib>
#include <cstring>

#include "util/tlv_walk.hpp"

namespace {

constexpr auto has_nested = element_nests<element_family::notif>;

tlv_writer *add_text(tlv_writer *writer, uint32_t type, const char *text)
{
    if (writer == nullptr)
        return nullptr;
    return tlv_nest_raw(writer, type, text, std::strlen(text) + 1);
}

tlv_writer *add_given_text(tlv_writer *writer, uint32_t type, const char *text)
{
    return text == nullptr || text[0] == '\0' ? writer : add_text(writer, type, text);
}

using field = tlv_walk::field;

// Walks one element of type `envelope` from the cursor; the handler sees every
// element below it. A stop answer leaves the cursor on that element's header;
// anything bad leaves it after the element, as tlv_skip does. Only the
// envelope is entered: events and pairs hold texts only.
template <typename Handler>
int walk_element(uint8_t **cursor, size_t *avail, uint32_t envelope, Handler handle)
{
    if (cursor == nullptr || *cursor == nullptr || avail == nullptr)
        return -1;
    tlv_walk walk(cursor, avail);
    return walk.walk_envelope(
        envelope, true, [&walk](uint32_t) { return walk.level() == 0; },
        [&](uint32_t type) { return handle(walk, type); });
}

} // namespace

tlv_writer *notif_msg_open_event(const char *modl, const char *id, const char *time, const char *user)
{
    tlv_writer *writer = tlv_write_open(nullptr, "EVNT"_tlv);
    writer = add_given_text(writer, "USER"_tlv, user);
    writer = add_given_text(writer, "MODL"_tlv, modl);
    writer = add_given_text(writer, "ID"_tlv, id);
    return add_given_text(writer, "TIME"_tlv, time);
}

tlv_writer *notif_msg_add_info(tlv_writer *writer, const char *key, const char *value)
{
    if (writer == nullptr)
        return nullptr;
    if (key == nullptr || value == nullptr) {
        std::free(tlv_close_all(&writer));
        return nullptr;
    }
    writer = tlv_write_open(writer, "INFO"_tlv);
    writer = add_text(writer, "KEY"_tlv, key);
    writer = add_text(writer, "VAL"_tlv, value);
    return writer == nullptr ? nullptr : tlv_write_close(writer);
}

uint8_t *notif_msg_close_event(tlv_writer *writer)
{
    return writer == nullptr ? nullptr : tlv_close_all(&writer);
}

int notif_msg_parse_event_user(uint8_t *data, size_t count, char *user)
{
    if (data == nullptr || user == nullptr)
        return -1;
    // Elements after USER may still be arriving: only what is read must be here.
    tlv_walk walk(&data, &count);
    while (walk.step_partial() == tlv_walk::element) {
        const uint32_t type = walk.type();
        if (walk.level() == 0) {
            if (type != "EVNT"_tlv)
                return -1;
        } else if (type == "USER"_tlv) {
            const uint32_t length = walk.length();
            if (!element_fits(type, length) || !walk.whole() || std::memchr(walk.value(), 0, length) == nullptr)
                return -1;
            std::strcpy(user, walk.text());
            return 0;
        }
        walk.descend(has_nested(type) != 0);
    }
    return -1;
}

int notif_msg_parse_event(uint8_t **cursor, size_t *avail, char **modl, char **id, char **time, char **user)
{
    if (modl == nullptr || id == nullptr || time == nullptr || user == nullptr)
        return -1;
    *modl = *id = *time = *user = nullptr;
    return walk_element(cursor, avail, "EVNT"_tlv, [&](const tlv_walk &walk, uint32_t type) {
        switch (type) {
        case "MODL"_tlv:
            *modl = walk.text();
            return field::taken;
        case "ID"_tlv:
            *id = walk.text();
            return field::taken;
        case "TIME"_tlv:
            *time = walk.text();
            return field::taken;
        case "USER"_tlv:
            if (!element_fits(type, walk.length()))
                return field::bad;
            *user = walk.text();
            return field::taken;
        case "INFO"_tlv:
            return field::stop;
        default:
            return field::bad;
        }
    });
}

int notif_msg_parse_get_info(uint8_t **cursor, size_t *avail, char **key, char **value)
{
    if (key == nullptr || value == nullptr)
        return -1;
    *key = *value = nullptr;
    return walk_element(cursor, avail, "INFO"_tlv, [&](const tlv_walk &walk, uint32_t type) {
        switch (type) {
        case "KEY"_tlv:
            *key = walk.text();
            return field::taken;
        case "VAL"_tlv:
            *value = walk.text();
            return field::taken;
        case "INFO"_tlv:
            return field::stop;
        default:
            return field::bad;
        }
    });
}

void notif_msg_dump(FILE *stream, const uint8_t *message)
{
    if (stream != nullptr && message != nullptr)
        tlv_dump(stream, message, tlv_get_size(message), has_nested);
}
