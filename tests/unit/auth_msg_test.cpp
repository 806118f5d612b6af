#include "ipconf/auth_msg.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ipconf/auth.hpp"
#include "tlv_bytes.hpp"

namespace {

const std::string puid_text = "00:11:22:33:44:55";

// Where the parsers put what the tests do not look at.
char *puid, *address, *user;
uint8_t *value, *password;
size_t length;

// PUID (and the address) asked for when `ask`.
int parse_request(bytes data, bool ask)
{
    return parse_all(data, auth_msg_parse_challenge_request, ask ? &puid : nullptr);
}

int parse_challenge(bytes data, bool ask)
{
    return parse_all(data, auth_msg_parse_challenge, &value, &length, ask ? &puid : nullptr, ask ? &address : nullptr);
}

int parse_login(bytes data)
{
    return parse_all(data, auth_msg_parse_login, &user, &password);
}

} // namespace

TEST(AuthMsg, ExactLayouts)
{
    EXPECT_EQ(take(auth_msg_build_challenge_request(nullptr)), bytes({0x43, 0x48, 0x52, 0x51, 0, 0, 0, 0}));
    EXPECT_EQ(take(auth_msg_build_ok()), bytes({0x4F, 0x4B, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(take(auth_msg_build_error("no such user")),
              cat({{0x45, 0x52, 0x52, 0, 0, 0, 0, 13}, text("no such user")}));
    const uint8_t cha[4] = {0xDE, 0xAD, 0, 1};
    EXPECT_EQ(take(auth_msg_build_challenge(cha, 4, puid_text.c_str(), "192.0.2.9")),
              tlv("CHAL", cat({tlv("PUID", text(puid_text)), tlv("ADDR", text("192.0.2.9")),
                               tlv("CHA", bytes(cha, cha + 4))})));
}

TEST(AuthMsg, ChallengeRequestAndChallengeRules)
{
    EXPECT_EQ(parse_request(tlv("CHRQ"), false), 0);
    EXPECT_EQ(parse_request(tlv("CHRQ"), true), -1);
    // Accepted once what was needed has been seen; a later bad PUID does not undo it.
    EXPECT_EQ(parse_request(tlv("CHRQ", cat({tlv("PUID", text_of_size(18)), tlv("PUID", bytes(3))})), true), 0);
    EXPECT_EQ(parse_request(tlv("CHAL", tlv("PUID", text_of_size(18))), false), -1);

    const bytes cha = tlv("CHA", {1, 2, 3, 4});
    const bytes puid = tlv("PUID", text(puid_text));
    const auto with = [&](const bytes &children) { return parse_challenge(tlv("CHAL", children), true); };
    EXPECT_EQ(with(cat({puid, cha})), -1); // address asked for, none sent
    EXPECT_EQ(with(cat({tlv("ADDR", text("a")), cha})), -1);
    EXPECT_EQ(with(cat({puid, tlv("ADDR", text("a"))})), -1); // no CHA
    // Not asked: PUID and ADDR are not examined at all; the last CHA wins.
    bytes lax = tlv("CHAL", cat({tlv("PUID", bytes(3)), tlv("ADDR", bytes(90)), cha, tlv("CHA", {7})}));
    ASSERT_EQ(parse_all(lax, auth_msg_parse_challenge, &value, &length, nullptr, nullptr), 0);
    EXPECT_EQ(bytes(value, value + length), bytes{7});
}

TEST(AuthMsg, LoginLimitsAndMissingFields)
{
    const uint8_t challenge[4] = {4, 3, 2, 1};
    const uint8_t hash[SHA1_DIGEST_SIZE] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    EXPECT_EQ(take(auth_msg_build_login(std::string(256, 'u').c_str(), challenge, 4, hash)), bytes());
    bytes login = take(auth_msg_build_login(std::string(255, 'u').c_str(), challenge, 4, hash));
    ASSERT_EQ(parse_all(login, auth_msg_parse_login, &user, &password), 0);
    EXPECT_EQ(std::string(user), std::string(255, 'u'));
    // What the login carries is what the device's password check accepts.
    EXPECT_EQ(check_password(challenge, 4, hash, password), 0);

    const bytes pass = tlv("PASS", bytes(SHA1_DIGEST_SIZE)), puid = tlv("PUID", text(puid_text));
    // A field before what a request or challenge needs to be accepted (a stop
    // after it keeps the result), or after the fields of a whole login.
    expect_catalogue_sizes<std::function<int(const bytes &)>>(
        element_family::auth,
        {[&](const bytes &f) {
             return parse_request(tlv("CHRQ", cat({f, puid})), true);
         },
         [&](const bytes &f) {
             return parse_challenge(tlv("CHAL", cat({puid, tlv("ADDR", text("a")), f, tlv("CHA", {1})})), true);
         },
         [&](const bytes &f) {
             return parse_login(tlv("LOGN", cat({tlv("USER", text("u")), pass, f})));
         }});
    EXPECT_EQ(parse_login(tlv("LOGN", tlv("USER", text("u")))), 1);
    EXPECT_EQ(parse_login(tlv("LOGN", cat({tlv("ZZZZ", text("skipped")), pass}))), 1);
    EXPECT_EQ(parse_login(tlv("CHAL", cat({tlv("USER", text("u")), pass}))), -1);
}
