#include "ipconf/auth.hpp"

#include "util/sha1.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

uint32_t get_random_challenge()
{
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    uint32_t challenge = 0;
    const ssize_t got = read(fd, &challenge, sizeof challenge);
    close(fd);
    if (got != static_cast<ssize_t>(sizeof challenge))
        return 0;
    return challenge == 0 ? 1 : challenge;
}

int auth_msg_build_challenged_password(const uint8_t *leading, size_t count, const uint8_t *tail, uint8_t *out)
{
    sha1_context *context = sha1_add(sha1_open(), leading, count);
    uint8_t *digest = sha1_close(sha1_add(context, tail, AUTH_CHALLENGE_SIZE));
    if (!digest)
        return -1;
    std::memcpy(out, digest, SHA1_DIGEST_SIZE);
    std::free(digest);
    return 0;
}

int check_password(const uint8_t *challenge, size_t count, const uint8_t *password_hash, const uint8_t *received)
{
    uint8_t expected[SHA1_DIGEST_SIZE];
    if (auth_msg_build_challenged_password(challenge, count, password_hash, expected) != 0)
        return -1;
    return std::memcmp(expected, received, SHA1_DIGEST_SIZE);
}
