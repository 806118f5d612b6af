#include "notifier/notif_msg.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "tlv_bytes.hpp"

namespace {

bytes build_event(const char *user, std::initializer_list<std::pair<const char *, const char *>> pairs)
{
    tlv_writer *writer = notif_msg_open_event("disk", "E42", "2024-05-01T10:00:00", user);
    for (const auto &[key, value] : pairs)
        writer = notif_msg_add_info(writer, key, value);
    return take(notif_msg_close_event(writer));
}

int user_of(bytes data, size_t count, std::string &user)
{
    char area[NOTIF_USER_MAX];
    std::memset(area, 'z', sizeof area);
    const int result = notif_msg_parse_event_user(data.data(), count, area);
    user = result == 0 ? area : "";
    return result;
}

// Reads a whole event as a peer does: fields, then pairs until none is left.
std::string read_event(bytes data)
{
    uint8_t *cursor = data.data();
    size_t avail = data.size();
    char *modl, *id, *time, *user, *key, *value;
    if (notif_msg_parse_event(&cursor, &avail, &modl, &id, &time, &user) != 0)
        return "event refused";
    const auto show = [](const char *s) { return s == nullptr ? std::string("-") : std::string(s); };
    std::string out = show(user) + " " + show(modl) + " " + show(id) + " " + show(time);
    while (avail != 0) {
        if (notif_msg_parse_get_info(&cursor, &avail, &key, &value) != 0)
            return out + " | pair refused";
        out += " | " + show(key) + "=" + show(value);
    }
    return out;
}

} // namespace

TEST(NotifMsg, BuildOrderAndExactLayout)
{
    const bytes fields =
        cat({tlv("MODL", text("disk")), tlv("ID", text("E42")), tlv("TIME", text("2024-05-01T10:00:00"))});
    const bytes pairs = cat({tlv("INFO", cat({tlv("KEY", text("level")), tlv("VAL", text("90%"))})),
                             tlv("INFO", cat({tlv("KEY", text("")), tlv("VAL", text(""))}))});
    EXPECT_EQ(build_event("alice", {{"level", "90%"}, {"", ""}}),
              tlv("EVNT", cat({tlv("USER", text("alice")), fields, pairs})));
    EXPECT_EQ(build_event("", {}), tlv("EVNT", fields));
    tlv_writer *writer = notif_msg_open_event(nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(notif_msg_add_info(writer, "key", nullptr), nullptr); // released, no leak
}

TEST(NotifMsg, EventUserLimitsAndPartialArrival)
{
    std::string user;
    const bytes event = build_event(std::string(255, 'u').c_str(), {{"k", "v"}});
    ASSERT_EQ(user_of(event, event.size(), user), 0);
    EXPECT_EQ(user, std::string(255, 'u'));
    // The envelope header and USER are all that must have arrived (the fuzz
    // target checks that USER itself must have).
    EXPECT_EQ(user_of(event, 8 + 8 + 256, user), 0);

    EXPECT_EQ(user_of(tlv("EVNT", tlv("USER", text_of_size(257))), 8 + 8 + 257, user), -1);
    EXPECT_EQ(user_of(build_event(nullptr, {}), 200, user), -1);
    EXPECT_EQ(user_of(tlv("INFO", tlv("USER", text("u"))), 18, user), -1);
}

TEST(NotifMsg, PeerReadsFieldsThenPairs)
{
    EXPECT_EQ(read_event(tlv("EVNT", cat({tlv("MODL", text("m")), tlv("INFO", tlv("KEY", text("k")))}))),
              "- m - - | k=-");
    EXPECT_EQ(read_event(tlv("EVNT", cat({tlv("MODL", text("m")), tlv("PUID", text("p"))}))), "event refused");
    EXPECT_EQ(read_event(tlv("EVNT", cat({tlv("USER", text_of_size(257))}))), "event refused");
    EXPECT_EQ(read_event(tlv("EVNT", cat({tlv("ID", text("i")), tlv("INFO", tlv("XKEY", text("k")))}))),
              "- - i - | pair refused");
}
