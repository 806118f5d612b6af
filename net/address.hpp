// IPv4/IPv6 and unix socket addresses, and the text case helpers used on
// PUID and MAC texts.
// Low-level: failures are reported with perror and errno.
#pragma once

// Converts a NUL-terminated text in place with toupper; null is accepted.
void string_to_upper(char *text);

// Converts a NUL-terminated text in place with tolower; null is accepted.
void string_to_lower(char *text);
