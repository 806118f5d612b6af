// The ipconf messages (LOOK, INFO, CONF, OK, ERR): builders and in-place parsers.
// Ownership: a finished message is a malloc'd buffer the caller frees; its size
// is tlv_get_size(message). Parsers return views into the received buffer,
// valid only while it lives. Errors: builders return null (the writer has been
// released), parsers return -1. Every text a parser returns has been checked to
// end with a zero byte inside its field, so it can be used as a C string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "ipconf/elements.hpp"
#include "ipconf/interface_conf.hpp"
#include "ipconf/product_record.hpp"
#include "util/tlv.hpp"
#include "util/tlv_ez.hpp"

// The byte the daemon sends in PROT.
inline constexpr uint8_t IPCONF_PROTOCOL = 2;

// Credentials of a parsed CONF: views into the message, null when absent.
// password points at exactly 20 raw bytes (not a text).
struct conf_auth {
    char *puid;
    char *user;
    uint8_t *password;
};

// ---- Builders -------------------------------------------------------------
// Fields that are not set (null or empty texts, numbers at their not-set
// value) are left out. Builders that return a writer leave the envelope open;
// one that is handed a null writer returns null.

// The 8-byte LOOK.
[[nodiscard]] uint8_t *ipconf_msg_build_look();

// INFO head: PUID, STAT (info->mode), HNAM PNAM PRID HWID HWRV SVER, PROT.
[[nodiscard]] tlv_writer *ipconf_msg_open_info(const product_info *info, uint8_t protocol);
// One INTF with MAC, NAME, ROLE, STAT and IPV4 (always, possibly empty).
[[nodiscard]] tlv_writer *ipconf_msg_add_interface_to_info(tlv_writer *writer, const interface_conf *conf);
// Closes the INFO (or a CONF) and returns the message; *writer becomes null.
[[nodiscard]] uint8_t *ipconf_msg_close_info(tlv_writer **writer);

// CONF head: PUID and USER when given, then PASS, the challenged password of
// `challenge` (challenge_length bytes) followed by the first 4 bytes of the
// 20-byte `password_hash`.
[[nodiscard]] tlv_writer *ipconf_msg_open_conf(const char *puid, const char *user, const uint8_t *password_hash,
                                               const uint8_t *challenge, size_t challenge_length);
// Adds HNAM when host_name is set and not empty (writer returned unchanged otherwise).
[[nodiscard]] tlv_writer *ipconf_msg_set_conf_hostname(tlv_writer *writer, const char *host_name);
// One INTF as in INFO but never with NAME or ROLE. Finish with tlv_close_all.
[[nodiscard]] tlv_writer *ipconf_msg_add_interface_to_conf(tlv_writer *writer, const interface_conf *conf);

// OK { PUID, ADDR }; ERR { PUID, ADDR, EMSG }, each field when set.
[[nodiscard]] uint8_t *ipconf_msg_build_ok(const char *puid, const char *address);
[[nodiscard]] uint8_t *ipconf_msg_build_error(const char *puid, const char *address, const char *text);

// Hex dump of a whole message (tlv_dump with this module's containers).
void ipconf_msg_dump(FILE *stream, const uint8_t *message);

// ---- Parsers ----------------------------------------------------------------
// cursor/avail: the next unread byte and the count of received bytes from it.
// Fields may come in any order, the last occurrence wins, unknown elements are
// stepped over, no field is required. Failure: a header or payload beyond the
// received data, a wrong envelope, a field breaking its size rule (PUID and MAC
// exactly 18, PASS exactly 20, texts at most their limit and ending with a zero
// byte, byte fields not empty), NAME or ROLE in a CONF interface.
// The size rules are the element catalogue's (ipconf/elements.hpp).
// Outputs written before a failure must not be used. Containers are entered
// wherever they occur, except empty ones below the envelope, which are stepped
// over (an interface without IPv4 settings ends with an empty IPV4).

// INFO head into `info` (texts are views; mode and *protocol are written only
// when STAT and PROT are present). Leaves the cursor on the first INTF, or
// after the envelope. Read the interfaces while *avail is not 0.
[[nodiscard]] int ipconf_msg_parse_info(uint8_t **cursor, size_t *avail, product_info *info, uint8_t *protocol);
// One INTF into the view `conf` (texts null when absent, numbers 3, 2, 3 when
// absent); the cursor ends after it. Any of its elements may sit in IPV4 or
// directly in INTF.
[[nodiscard]] int ipconf_msg_parse_get_interface_from_info(uint8_t **cursor, size_t *avail, interface_conf *conf);

// CONF head into `auth` and *host_name; the cursor ends as for INFO (*avail 0
// there means no interfaces were given).
[[nodiscard]] int ipconf_msg_parse_conf(uint8_t **cursor, size_t *avail, conf_auth *auth, char **host_name);
[[nodiscard]] int ipconf_msg_parse_get_interface_from_conf(uint8_t **cursor, size_t *avail, interface_conf *conf);

// These take the received data by value and leave the caller's position alone.
[[nodiscard]] int ipconf_msg_parse_ok(uint8_t *message, size_t avail, char **puid, char **address);
[[nodiscard]] int ipconf_msg_parse_error(uint8_t *message, size_t avail, char **puid, char **address, char **text);
// 0 when the data starts with a LOOK whose payload lies within it.
[[nodiscard]] int ipconf_msg_parse_look(uint8_t *message, size_t avail);
// The first PUID inside any envelope (INFO, CONF, OK, ERR, CHRQ, CHAL, ...).
[[nodiscard]] int ipconf_msg_parse_get_puid(uint8_t *message, size_t avail, char **puid);
