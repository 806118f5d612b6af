// Reads a JSON text that a client sent (the page's configure request) into a
// json value: strict syntax, bounded nesting, texts as UTF-8 bytes with \u
// escapes decoded, integers only. The text of one member of the top object
// (the password) is taken out into a separate string and never enters the
// value; every scratch copy of it is wiped. Errors come back as text; nothing
// throws except on allocation.
#pragma once

#include "tools/orvanectl/output.hpp"

#include <string>
#include <string_view>

namespace ctl {

// False with `why` set when the text is not one JSON value within
// max_depth levels, or when the secret member is there but is no text.
[[nodiscard]] bool read_json(std::string_view text, std::string_view secret_key, json &value, std::string &secret,
                             std::string &why, int max_depth = 4);

} // namespace ctl
