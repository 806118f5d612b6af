// A login as the notifier reads it: outputs inside the input with their size
// rules, the position past the message, and a user name that comes back
// through the builder.
#include <memory>

#include "check.hpp"
#include "ipconf/auth_msg.hpp"

FUZZ_TARGET(in, nonempty_input)
{
    char *user = nullptr;
    uint8_t *password = nullptr;
    const int result = auth_msg_parse_login(&in.cursor, &in.avail, &user, &password);
    in.check_position();
    FUZZ_CHECK(result >= -1 && result <= 1);
    if (user != nullptr)
        FUZZ_CHECK(in.check_field(user) <= AUTH_USER_MAX);
    if (password != nullptr)
        FUZZ_CHECK(in.check_field(password) == AUTH_PASSWORD_SIZE);
    if (result != 0 || !writes_back(user))
        return;
    const uint8_t challenge[4] = {9, 9, 9, 9};
    fuzz_input again = rebuilt(auth_msg_build_login(user, challenge, 4, password));
    char *user2 = nullptr;
    uint8_t *password2 = nullptr;
    FUZZ_CHECK(auth_msg_parse_login(&again.cursor, &again.avail, &user2, &password2) == 0 && again.avail == 0);
    FUZZ_CHECK(seen(user) == seen(user2));
}
