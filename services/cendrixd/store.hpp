// The reference service's store: a JSON document of numbered configurations
// and classes of resources, loaded and checked as a whole, changed by merging
// properties in, and written back atomically (temporary file, fsync, rename).
// Nothing here throws; faults come back as a text for the caller to report.
#pragma once

#include "lib/cendrix/property_map.hpp"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace cendrix_store {

using json = nlohmann::json;

enum class outcome { done, not_found, invalid_args };

struct write_result {
    outcome result = outcome::done;
    std::string fault; // why, when not done
};

// Reads and checks the store at `path`. On failure `fault` says what is wrong
// ("cannot read: ...", "not JSON: ...", "resources \"6\"[0]: no numeric \"id\"").
[[nodiscard]] std::optional<json> load(const std::string &path, std::string &fault);

// Checks a whole document; empty text when it is a valid store.
[[nodiscard]] std::string check(const json &document);

// Writes the document next to `path`, syncs it and renames it over `path`;
// empty text on success, else the fault. `path` is untouched on failure.
[[nodiscard]] std::string save(const std::string &path, const json &document);

[[nodiscard]] std::optional<cendrix_wire::property_map> get_config(const json &document, uint32_t number);

// The first resource of the class, in store order, whose properties equal every entry of `match`.
[[nodiscard]] std::optional<cendrix_wire::property_map> find_resource(const json &document, uint32_t resource_class,
                                                                      const cendrix_wire::property_map &match);

// Merge `properties` into an existing object; a property whose type differs
// from the stored one is refused and nothing changes.
[[nodiscard]] write_result set_config(json &document, uint32_t number, const cendrix_wire::property_map &properties);
[[nodiscard]] write_result set_resource(json &document, uint32_t resource_class, uint32_t id,
                                        const cendrix_wire::property_map &properties);

// The properties as a JSON object, for the log.
[[nodiscard]] std::string describe(const cendrix_wire::property_map &properties);

} // namespace cendrix_store
