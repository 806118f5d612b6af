#include "ipconf/auth_msg.hpp"

#include <cstdlib>
#include <cstring>

#include "util/tlv_walk.hpp"

namespace {

constexpr auto has_nested = element_nests<element_family::auth>;

// The family's one rule for a field it takes: the catalogue's size rule.
bool fits(const tlv_walk &walk)
{
    return element_fits(walk.type(), walk.length());
}

tlv_writer *add_field(tlv_writer *writer, uint32_t type, const void *data, size_t count)
{
    return writer == nullptr ? nullptr : tlv_nest_raw(writer, type, data, count);
}

tlv_writer *add_text(tlv_writer *writer, uint32_t type, const char *text)
{
    return text == nullptr ? writer : add_field(writer, type, text, std::strlen(text) + 1);
}

uint8_t *finish(tlv_writer *writer)
{
    return writer == nullptr ? nullptr : tlv_close_all(&writer);
}

// The walk shared by the three parsers, the envelope walk of every family.
// The handler sees every element below the envelope and answers false to stop
// the walk; on_done decides the result of a complete walk. A stop, or an
// envelope of another type, returns `*result` as reached so far with the
// position moved past the message.
template <typename Handler, typename Done>
int walk_one(uint8_t **cursor, size_t *avail, uint32_t envelope, const int *result, Handler handle, Done on_done)
{
    tlv_walk walk(cursor, avail);
    const int walked = walk.walk_envelope(envelope, true, has_nested, [&](uint32_t type) {
        return handle(walk, type) ? tlv_walk::field::taken : tlv_walk::field::bad;
    });
    return walked == 0 ? on_done() : *result;
}

// The walk sees only the bytes of the first message, so that one that ends
// early cannot take the messages behind it in a stream for its children; the
// position then always ends just past that message.
template <typename Handler, typename Done>
int walk_message(uint8_t **cursor, size_t *avail, uint32_t envelope, const int *result, Handler handle, Done on_done)
{
    uint64_t size = 0;
    if (*avail >= TLV_HEADER_SIZE)
        size = uint64_t{tlv_get_size(*cursor) - TLV_HEADER_SIZE} + TLV_HEADER_SIZE;
    if (size == 0 || size >= *avail)
        return walk_one(cursor, avail, envelope, result, handle, on_done);
    uint8_t *const next = *cursor + size;
    const size_t behind = *avail - size;
    *avail = size;
    const int outcome = walk_one(cursor, avail, envelope, result, handle, on_done);
    *cursor = next;
    *avail = behind;
    return outcome;
}

bool usable(uint8_t **cursor, size_t *avail)
{
    return cursor != nullptr && *cursor != nullptr && avail != nullptr;
}

} // namespace

uint8_t *auth_msg_build_challenge_request(const char *puid)
{
    return finish(add_text(tlv_write_open(nullptr, "CHRQ"_tlv), "PUID"_tlv, puid));
}

uint8_t *auth_msg_build_challenge(const uint8_t *challenge, size_t count, const char *puid, const char *address)
{
    if (challenge == nullptr && count != 0)
        return nullptr;
    tlv_writer *writer = tlv_write_open(nullptr, "CHAL"_tlv);
    writer = add_text(writer, "PUID"_tlv, puid);
    writer = add_text(writer, "ADDR"_tlv, address);
    return finish(add_field(writer, "CHA"_tlv, challenge, count));
}

uint8_t *auth_msg_build_login(const char *user, const uint8_t *leading, size_t count, const uint8_t *tail)
{
    if (user == nullptr || std::strlen(user) >= element_find("USER"_tlv)->max || tail == nullptr ||
        (leading == nullptr && count != 0))
        return nullptr;
    uint8_t password[SHA1_DIGEST_SIZE];
    if (auth_msg_build_challenged_password(leading, count, tail, password) != 0)
        return nullptr;
    tlv_writer *writer = add_text(tlv_write_open(nullptr, "LOGN"_tlv), "USER"_tlv, user);
    return finish(add_field(writer, "PASS"_tlv, password, sizeof password));
}

uint8_t *auth_msg_build_ok()
{
    return tlv_single_raw("OK"_tlv, nullptr, 0);
}

uint8_t *auth_msg_build_error(const char *text)
{
    if (text == nullptr)
        return nullptr;
    return tlv_single_raw("ERR"_tlv, text, std::strlen(text) + 1);
}

int auth_msg_parse_challenge_request(uint8_t **cursor, size_t *avail, char **puid)
{
    if (!usable(cursor, avail))
        return -1;
    // A whole CHRQ envelope is all a caller that wants no PUID needs.
    int result =
        puid == nullptr && tlv_is_complete(*cursor, *avail) && tlv_get_envelope_type(*cursor) == "CHRQ"_tlv ? 0 : -1;
    return walk_message(
        cursor, avail, "CHRQ"_tlv, &result,
        [&](const tlv_walk &walk, uint32_t type) {
            if (type != "PUID"_tlv)
                return true;
            if (!fits(walk))
                return false;
            result = 0;
            if (puid != nullptr)
                *puid = walk.text();
            return true;
        },
        [&] { return result; });
}

int auth_msg_parse_challenge(uint8_t **cursor, size_t *avail, uint8_t **challenge, size_t *length, char **puid,
                             char **address)
{
    if (!usable(cursor, avail))
        return -1;
    int result = -1;
    bool puid_stored = false;
    bool address_stored = false;
    return walk_message(
        cursor, avail, "CHAL"_tlv, &result,
        [&](const tlv_walk &walk, uint32_t type) {
            if (type == "CHA"_tlv) {
                if (challenge != nullptr)
                    *challenge = walk.value();
                if (length != nullptr)
                    *length = walk.length();
                result = 0;
            } else if (type == "PUID"_tlv && puid != nullptr) {
                if (!fits(walk))
                    return false;
                *puid = walk.text();
                puid_stored = true;
            } else if (type == "ADDR"_tlv && address != nullptr) {
                if (!fits(walk))
                    return false;
                *address = walk.text();
                address_stored = true;
            }
            return true;
        },
        [&] {
            if ((address != nullptr && !address_stored) || (puid != nullptr && !puid_stored))
                return -1;
            return result;
        });
}

int auth_msg_parse_login(uint8_t **cursor, size_t *avail, char **user, uint8_t **password)
{
    if (!usable(cursor, avail) || user == nullptr || password == nullptr)
        return -1;
    *user = nullptr;
    *password = nullptr;
    const int malformed = -1;
    return walk_message(
        cursor, avail, "LOGN"_tlv, &malformed,
        [&](const tlv_walk &walk, uint32_t type) {
            if (type == "PASS"_tlv || type == "USER"_tlv) {
                if (!fits(walk))
                    return false;
            }
            if (type == "PASS"_tlv) {
                *password = walk.value();
            } else if (type == "USER"_tlv) {
                *user = walk.text();
            }
            return true;
        },
        [&] { return *user != nullptr && *password != nullptr ? 0 : 1; });
}

void auth_msg_dump(FILE *stream, const uint8_t *message)
{
    if (stream != nullptr && message != nullptr)
        tlv_dump(stream, message, tlv_get_size(message), has_nested);
}
