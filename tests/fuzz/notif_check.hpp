// Reading a notification's pairs as a peer does, for the notification fuzzer.
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "notifier/notif_msg.hpp"

using pairs = std::vector<std::pair<char *, char *>>;

// Reads pairs while bytes remain; every success consumes bytes. False when one
// is refused. Keys and values lie inside the input.
inline bool read_pairs(fuzz_input &in, pairs &out)
{
    while (in.avail != 0) {
        const size_t before = in.avail;
        char *key = nullptr, *value = nullptr;
        const int result = notif_msg_parse_get_info(&in.cursor, &in.avail, &key, &value);
        in.check_position();
        FUZZ_CHECK(result != 0 || in.avail < before);
        if (result != 0)
            return false;
        in.check_elements(element_family::notif, key, value);
        out.emplace_back(key, value);
    }
    return true;
}

struct event_fields {
    char *modl = nullptr, *id = nullptr, *time = nullptr, *user = nullptr;
};

// Builds an event from fields and pairs and reads it back: the same values,
// except that an event with nothing in it is an empty container, refused.
inline void check_event_round_trip(const event_fields &fields, const pairs &read)
{
    tlv_writer *writer = notif_msg_open_event(fields.modl, fields.id, fields.time, fields.user);
    for (const auto &[key, value] : read)
        writer = notif_msg_add_info(writer, key == nullptr ? "" : key, value == nullptr ? "" : value);
    fuzz_input copy = rebuilt(notif_msg_close_event(writer));
    event_fields back;
    const int result = notif_msg_parse_event(&copy.cursor, &copy.avail, &back.modl, &back.id, &back.time, &back.user);
    FUZZ_CHECK(result == (copy.size() == TLV_HEADER_SIZE ? -1 : 0));
    using f = event_fields;
    FUZZ_CHECK(same_texts(fields, back, &f::modl, &f::id, &f::time, &f::user));
    pairs again;
    FUZZ_CHECK(read_pairs(copy, again) && again.size() == read.size());
    for (size_t i = 0; i < read.size(); ++i)
        FUZZ_CHECK(seen(read[i].first) == seen(again[i].first) && seen(read[i].second) == seen(again[i].second));
}

inline bool all_terminated(const pairs &read)
{
    return std::ranges::all_of(read,
                               [](const auto &pair) { return terminated(pair.first) && terminated(pair.second); });
}
