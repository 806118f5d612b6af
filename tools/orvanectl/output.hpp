// How orvanectl shows what it found: human text by default, JSON with
// --json, records of ';'-separated fields with --parsable. Data is gathered as
// JSON objects first and printed by one of the writers, so every output
// carries the same facts. Every JSON document (or line, for streams) is an
// object that starts with "schema": 1 and "command"; a value the device did
// not send is null, never left out (docs/orvanectl.schema.json).
// Texts from the network may be anything: JSON output replaces invalid UTF-8,
// human output replaces control characters.
#pragma once

#include "tools/orvanectl/json.hpp"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace ctl {

[[nodiscard]] bool json_output();
void set_json(bool on);
[[nodiscard]] bool parsable_output();
void set_parsable(bool on);

// Pretty-printed document, or one compact line (for streams such as watch).
void print_json(const json &value);
void print_json_line(const json &value);

// One --parsable record: the fields joined by ';', each escaped ('\\' and
// ';' with a backslash, control characters as \xNN); null is an empty field.
void print_record(const std::vector<json> &fields);

// Rows of cells in columns two spaces apart, each as wide as its widest
// cell; `after` (may be empty) is called after each row with its number, for
// lines that belong under it.
void print_table(FILE *stream, const std::vector<std::vector<std::string>> &rows,
                 const std::function<void(size_t row)> &after = {});

// A text received from the network, made safe for a terminal.
[[nodiscard]] std::string printable(std::string_view text);
// The JSON value of an optional text: the text, or null.
[[nodiscard]] json text_or_null(const char *text);
// Human form of a JSON value: its text, "-" for null.
[[nodiscard]] std::string shown(const json &value);

// Names of the numbers that travel in messages.
[[nodiscard]] std::string mode_name(uint32_t mode); // normal, sleep, ...
[[nodiscard]] json link_name(int link_state);       // "up", "down", null
[[nodiscard]] json method_name(int ipv4_mode);      // "static", "dhcp", null

// Numeric text of a socket address; an IPv4-mapped IPv6 address is shown as
// the IPv4 address. Empty when the family is neither IPv4 nor IPv6.
[[nodiscard]] std::string address_text(const sockaddr_storage &address);

} // namespace ctl
