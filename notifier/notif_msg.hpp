// Notification events: EVNT { USER, MODL, ID, TIME, INFO { KEY, VAL }... },
// built by local producers, routed by user, and read by remote peers.
// Ownership: the builder's message is malloc'd and freed by the caller (size:
// tlv_get_size); parsers return pointers into the caller's buffer, except
// notif_msg_parse_event_user, which copies the user into the caller's 256
// bytes and is the only parser that tests a text for its zero byte. Every
// other text is untested: read one through element_text (ipconf/elements.hpp).
// Errors: null or -1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "ipconf/elements.hpp"

// Size of the area that notif_msg_parse_event_user fills: the largest USER
// payload, zero byte included.
inline constexpr uint32_t NOTIF_USER_MAX = element_find("USER"_tlv)->max;

// ---- Builder: open, add pairs, close.

// Opens an EVNT holding USER, MODL, ID, TIME in this order, each only when
// given and not empty (so USER, when present, is always the first child).
[[nodiscard]] tlv_writer *notif_msg_open_event(const char *modl, const char *id, const char *time, const char *user);
// Adds INFO { KEY, VAL }; both texts are required (empty ones are written).
// Null on failure, with the writer released.
[[nodiscard]] tlv_writer *notif_msg_add_info(tlv_writer *writer, const char *key, const char *value);
// Closes the event and returns the message.
[[nodiscard]] uint8_t *notif_msg_close_event(tlv_writer *writer);

// ---- Parsers

// Copies the first USER of the event at `data` (with its zero byte) into the
// 256-byte `user`. Needs only the envelope header and the elements up to USER
// to have arrived. -1: not an event, no USER, USER over 256 bytes, without a
// zero byte, or not all arrived.
[[nodiscard]] int notif_msg_parse_event_user(uint8_t *data, size_t count, char *user);
// The event's fields (null when absent). Leaves the cursor on the first INFO,
// or after the event. Any type other than the four fields and INFO fails.
[[nodiscard]] int notif_msg_parse_event(uint8_t **cursor, size_t *avail, char **modl, char **id, char **time,
                                        char **user);
// One INFO pair from the cursor (null when absent); the cursor ends on the
// next INFO. Call until it fails or *avail is 0. When more bytes follow the
// event (a stream), start with *avail = tlv_get_size(event) so that the pairs
// end with the event.
[[nodiscard]] int notif_msg_parse_get_info(uint8_t **cursor, size_t *avail, char **key, char **value);

// Hex dump of a whole event.
void notif_msg_dump(FILE *stream, const uint8_t *message);
