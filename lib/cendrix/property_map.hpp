// The wire side of the configuration service, shared by the client library and
// the reference service: the bus names, and properties as they travel (a{sv}
// holding only s, u and b values).
// The readers and writers return 0 or a negative errno; they never throw.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>

struct sd_bus_message;

namespace cendrix_wire {

inline constexpr const char *bus_name = "org.cendrix.Config1";
inline constexpr const char *object_path = "/org/cendrix/Config1";
inline constexpr const char *interface_name = "org.cendrix.Config1";
inline constexpr const char *error_not_found = "org.cendrix.Config1.Error.NotFound";
inline constexpr const char *error_invalid_args = "org.cendrix.Config1.Error.InvalidArgs";

// A text ("s"), an unsigned 32-bit number ("u") or a boolean ("b").
using property_value = std::variant<std::string, uint32_t, bool>;
using property_map = std::map<std::string, property_value>;

// Reads an a{sv} at the message's read position. A value of any other type
// than s, u or b gives -EMEDIUMTYPE and leaves `properties` partly filled.
[[nodiscard]] int read_properties(sd_bus_message *message, property_map &properties);

// Appends `properties` as an a{sv}; -EINVAL for a text that is not valid UTF-8.
[[nodiscard]] int append_properties(sd_bus_message *message, const property_map &properties);

} // namespace cendrix_wire
