// The JSON values orvanectl builds, prints and reads: nlohmann-json's, with
// objects that keep their keys in insertion order, so that every document
// reads in the order the schema lists its fields. Header-only: the laptop's
// build needs it at build time, and nothing at run time. Texts from the
// network may be any bytes: every dump() here passes error_handler_t::replace,
// which writes invalid UTF-8 as U+FFFD instead of throwing.
#pragma once

#include <nlohmann/json.hpp>

namespace ctl {

using json = nlohmann::ordered_json;

} // namespace ctl
