// Reading a notification's pairs as a peer does, for the event fuzzers.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "notifier/notif_msg.hpp"

using pairs = std::vector<std::pair<char *, char *>>;

// Reads pairs while bytes remain; every success consumes bytes. False when one
// is refused. Keys and values lie inside the input.
inline bool read_pairs(fuzz_input &in, uint8_t **cursor, size_t *avail, pairs &out)
{
    while (*avail != 0) {
        const size_t before = *avail;
        char *key = nullptr, *value = nullptr;
        const int result = notif_msg_parse_get_info(cursor, avail, &key, &value);
        in.check_position(*cursor, *avail);
        FUZZ_CHECK(result != 0 || *avail < before);
        if (result != 0)
            return false;
        if (key != nullptr)
            in.check_field(key);
        if (value != nullptr)
            in.check_field(value);
        out.emplace_back(key, value);
    }
    return true;
}

struct event_fields {
    char *modl = nullptr;
    char *id = nullptr;
    char *time = nullptr;
    char *user = nullptr;
};

// Builds an event from fields and pairs and reads it back: the same values,
// except that an event with nothing in it is an empty container, refused.
inline void check_event_round_trip(const event_fields &fields, const pairs &read)
{
    tlv_writer *writer = notif_msg_open_event(fields.modl, fields.id, fields.time, fields.user);
    for (const auto &[key, value] : read)
        writer = notif_msg_add_info(writer, key == nullptr ? "" : key, value == nullptr ? "" : value);
    std::unique_ptr<uint8_t, free_message> built(notif_msg_close_event(writer));
    FUZZ_CHECK(built != nullptr);
    const uint32_t size = tlv_get_size(built.get());
    fuzz_input copy(built.get(), size);
    uint8_t *cursor = copy.begin();
    size_t avail = size;
    event_fields back;
    const int result = notif_msg_parse_event(&cursor, &avail, &back.modl, &back.id, &back.time, &back.user);
    FUZZ_CHECK(result == (size == TLV_HEADER_SIZE ? -1 : 0));
    FUZZ_CHECK(seen(fields.modl) == seen(back.modl) && seen(fields.id) == seen(back.id));
    FUZZ_CHECK(seen(fields.time) == seen(back.time) && seen(fields.user) == seen(back.user));
    pairs again;
    FUZZ_CHECK(read_pairs(copy, &cursor, &avail, again) && again.size() == read.size());
    for (size_t i = 0; i < read.size(); ++i)
        FUZZ_CHECK(seen(read[i].first) == seen(again[i].first) && seen(read[i].second) == seen(again[i].second));
}

inline bool all_terminated(const pairs &read)
{
    for (const auto &[key, value] : read)
        if (!terminated(key) || !terminated(value))
            return false;
    return true;
}
