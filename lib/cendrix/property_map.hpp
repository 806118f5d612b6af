// The wire side of the configuration service, shared by the client library and
// the reference service: the bus names, and properties as they travel (a{sv}
// holding only s, u and b values).
// The readers and writers return 0 or a negative errno; they never throw.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

struct sd_bus_message;

namespace cendrix_wire {

inline constexpr const char *bus_name = "org.cendrix.Config1";
inline constexpr const char *object_path = "/org/cendrix/Config1";
inline constexpr const char *interface_name = "org.cendrix.Config1";
// Signal without arguments, sent on the object whenever a write has become
// visible to readers; declared in the object's introspection data.
inline constexpr const char *changed_signal = "Changed";
inline constexpr const char *error_not_found = "org.cendrix.Config1.Error.NotFound";
inline constexpr const char *error_invalid_args = "org.cendrix.Config1.Error.InvalidArgs";

// A text ("s"), an unsigned 32-bit number ("u") or a boolean ("b").
using property_value = std::variant<std::string, uint32_t, bool>;
using property_map = std::map<std::string, property_value>;

// Map nodes kept for reuse, so that a client reading the same kind of reply
// over and over allocates nothing for its properties once warmed up.
using property_nodes = std::vector<property_map::node_type>;

// Reads an a{sv} at the message's read position, taking nodes from `spare`
// when given. A value of any other type than s, u or b gives -EMEDIUMTYPE and
// leaves `properties` partly filled.
[[nodiscard]] int read_properties(sd_bus_message *message, property_map &properties, property_nodes *spare = nullptr);

// Empties `properties`, keeping its nodes in `spare` (up to a few dozen).
void recycle_properties(property_map &properties, property_nodes &spare) noexcept;

// Appends `properties` as an a{sv}; -EINVAL for a text that is not valid UTF-8.
[[nodiscard]] int append_properties(sd_bus_message *message, const property_map &properties);

} // namespace cendrix_wire
