// The authentication family, as the servers and peers read it from a stream:
// the common checks, the position always past the message, asking for less
// never refuses more, and what parses comes back through the builders.
#include "check.hpp"
#include "ipconf/auth_msg.hpp"

namespace {

constexpr auto auth = element_family::auth;

void challenge_request(fuzz_input &in)
{
    char *puid = nullptr;
    const int with_puid = in.parse(auth_msg_parse_challenge_request, &puid);
    const int without = in.parse(auth_msg_parse_challenge_request, nullptr);
    FUZZ_CHECK(with_puid == -1 || without == 0);
    if (with_puid != 0)
        return;
    FUZZ_CHECK(puid != nullptr);
    in.check_element(puid, auth);
    if (!writes_back(puid))
        return;
    fuzz_input again = rebuilt(auth_msg_build_challenge_request(puid));
    char *puid2 = nullptr;
    FUZZ_CHECK(auth_msg_parse_challenge_request(&again.cursor, &again.avail, &puid2) == 0 && again.avail == 0);
    FUZZ_CHECK(seen(puid) == seen(puid2));
}

void challenge(fuzz_input &in)
{
    uint8_t *challenge = nullptr, *bare = nullptr;
    size_t length = 0, bare_length = 0;
    char *puid = nullptr, *address = nullptr;
    const int asked = in.parse(auth_msg_parse_challenge, &challenge, &length, &puid, &address);
    const int not_asked = in.parse(auth_msg_parse_challenge, &bare, &bare_length, nullptr, nullptr);
    FUZZ_CHECK(asked == -1 || not_asked == 0);
    if (asked != 0)
        return;
    FUZZ_CHECK(in.check_field(challenge) == length && in.check_field(bare) == bare_length);
    in.check_elements(auth, challenge, puid, address);
    // A stop after the CHA keeps the result without the completion checks, so
    // the asked-for fields may be missing.
    if (puid == nullptr || address == nullptr || !writes_back(puid) || !writes_back(address))
        return;
    fuzz_input again = rebuilt(auth_msg_build_challenge(challenge, length, puid, address));
    uint8_t *challenge2 = nullptr;
    size_t length2 = 0;
    char *puid2 = nullptr, *address2 = nullptr;
    FUZZ_CHECK(auth_msg_parse_challenge(&again.cursor, &again.avail, &challenge2, &length2, &puid2, &address2) == 0);
    FUZZ_CHECK(again.avail == 0 && length2 == length && std::memcmp(challenge, challenge2, length) == 0);
    FUZZ_CHECK(seen(puid) == seen(puid2) && seen(address) == seen(address2));
}

void login(fuzz_input &in)
{
    char *user = nullptr;
    uint8_t *password = nullptr;
    const int result = in.parse(auth_msg_parse_login, &user, &password);
    FUZZ_CHECK(result >= -1 && result <= 1);
    in.check_elements(auth, user, password);
    if (result != 0 || !writes_back(user))
        return;
    const uint8_t challenge[AUTH_CHALLENGE_SIZE] = {9, 9, 9, 9};
    fuzz_input again = rebuilt(auth_msg_build_login(user, challenge, sizeof challenge, password));
    char *user2 = nullptr;
    uint8_t *password2 = nullptr;
    FUZZ_CHECK(auth_msg_parse_login(&again.cursor, &again.avail, &user2, &password2) == 0 && again.avail == 0);
    FUZZ_CHECK(seen(user) == seen(user2));
}

} // namespace

FUZZ_TARGET(in)
{
    // The stream parsers need a byte to start from.
    if (in.size() == 0)
        return;
    for (auto parse : {challenge_request, challenge, login})
        parse(in);
}
