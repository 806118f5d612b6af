// The notification family: routing an event by its user, a whole event as a
// peer reads it (the fields, then pairs until no bytes remain), and the pairs
// read directly; the common checks, and an event built from what was read
// reads back the same.
#include <algorithm>
#include <utility>
#include <vector>

#include "check.hpp"
#include "notifier/notif_msg.hpp"

namespace {

constexpr auto notif = element_family::notif;

using pairs = std::vector<std::pair<char *, char *>>;

// Reads pairs while bytes remain; every success consumes bytes. False when one
// is refused. Keys and values lie inside the input.
bool read_pairs(fuzz_input &in, pairs &out)
{
    while (in.avail != 0) {
        const size_t before = in.avail;
        char *key = nullptr, *value = nullptr;
        const int result = notif_msg_parse_get_info(&in.cursor, &in.avail, &key, &value);
        in.check_position();
        FUZZ_CHECK(result != 0 || in.avail < before);
        if (result != 0)
            return false;
        in.check_elements(notif, key, value);
        out.emplace_back(key, value);
    }
    return true;
}

struct event_fields {
    char *modl = nullptr, *id = nullptr, *time = nullptr, *user = nullptr;
};

// Builds an event from fields and pairs whose texts end inside their fields
// (the caller checks the fields) and reads it back: the same values, except that an event with nothing in it
// is an empty container, refused.
void check_event_round_trip(const event_fields &fields, const pairs &read)
{
    for (const auto &[key, value] : read)
        if (!terminated(key) || !terminated(value))
            return;
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

// The copied name fits the area, is a text of the input, and an event built
// for that user routes to it again.
void event_user(fuzz_input &in)
{
    char user[NOTIF_USER_MAX];
    if (notif_msg_parse_event_user(in.begin(), in.size(), user) != 0)
        return;
    const size_t length = strnlen(user, sizeof user);
    FUZZ_CHECK(length < sizeof user);
    const auto *text = reinterpret_cast<const uint8_t *>(user);
    const uint8_t *start = in.begin(), *end = start + in.size();
    FUZZ_CHECK(std::search(start, end, text, text + length + 1) != end);
    fuzz_input built = rebuilt(notif_msg_close_event(notif_msg_open_event("m", nullptr, nullptr, user)));
    char again[NOTIF_USER_MAX];
    const int result = notif_msg_parse_event_user(built.begin(), built.size(), again);
    // An empty user is left out of the event, which then has none.
    FUZZ_CHECK(length == 0 ? result == -1 : result == 0 && std::strcmp(user, again) == 0);
}

void event(fuzz_input &in)
{
    event_fields fields;
    const int result = in.parse(notif_msg_parse_event, &fields.modl, &fields.id, &fields.time, &fields.user);
    pairs read;
    if (result != 0 || !read_pairs(in, read))
        return;
    in.check_elements(notif, fields.modl, fields.id, fields.time, fields.user);
    if (terminated(fields.modl) && terminated(fields.id) && terminated(fields.time) && terminated(fields.user))
        check_event_round_trip(fields, read);
}

void get_info(fuzz_input &in)
{
    pairs read;
    char module[] = "m";
    in.rewind();
    if (read_pairs(in, read) && !read.empty())
        check_event_round_trip({.modl = module}, read);
}

} // namespace

FUZZ_TARGET(in)
{
    event_user(in);
    // The stream parsers need a byte to start from.
    if (in.size() == 0)
        return;
    event(in);
    get_info(in);
}
