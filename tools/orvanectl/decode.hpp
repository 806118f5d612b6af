// Decoding of any ipconf or challenge message into a tree of named fields,
// for watch and dump, by the element catalogue's ipconf kinds: texts as text,
// byte fields as numbers with their meaning, raw fields as hex. Reads only the bytes it is given; a message that
// breaks off is decoded as far as it goes and marked with an "error".
#pragma once

#include "tools/orvanectl/output.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace ctl {

// The four-character code as text ("OK", "DNS"); other bytes as \xNN.
[[nodiscard]] std::string type_text(uint32_t type);

// {"type": "INFO", "size": 205, "fields": [...]} where each field is
// {"type": "PUID", "text": "..."} or {"type": "STAT", "number": 0,
// "meaning": "normal"} or {"type": "PASS", "hex": "..."} or a container
// {"type": "INTF", "fields": [...]}; "error" tells where decoding stopped.
[[nodiscard]] json decode_message(const uint8_t *data, size_t size);

// The decoded tree as indented text, one field a line.
void print_decoded(FILE *stream, const json &message);

} // namespace ctl
