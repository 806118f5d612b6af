#include "tools/orvanectl/decode.hpp"
#include "tools/orvanectl/output.hpp"

#include "ipconf/elements.hpp"

#include <string>
#include <utility>
#include <vector>

namespace ctl {

namespace {

std::string hex(const uint8_t *data, size_t count)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0xF];
    }
    return out;
}

// A text field holds printable characters and ends with its only zero byte.
bool is_clean_text(const uint8_t *data, size_t count)
{
    if (count == 0 || data[count - 1] != 0)
        return false;
    for (size_t i = 0; i + 1 < count; ++i)
        if (data[i] < 0x20 || data[i] == 0x7F)
            return false;
    return true;
}

json meaning(uint32_t type, uint32_t parent, unsigned value)
{
    switch (type) {
    case "STAT"_tlv:
        return parent == "INFO"_tlv ? json(mode_name(value)) : link_name(static_cast<int>(value));
    case "MODE"_tlv:
        return method_name(static_cast<int>(value));
    default:
        return nullptr;
    }
}

json labelled(uint32_t type, uint32_t parent)
{
    const std::string code = type_text(type);
    return {{"type", code}, {"label", std::string(element_words(code, type_text(parent)))}};
}

json leaf(uint32_t type, uint32_t parent, const uint8_t *data, size_t count)
{
    json node = labelled(type, parent);
    const element_kind kind = element_kind_of(element_family::ipconf, type);
    if (kind == element_kind::byte && count == 1) {
        node["number"] = data[0];
        json meant = meaning(type, parent, data[0]);
        if (!meant.is_null())
            node["meaning"] = meant;
    } else if (kind == element_kind::text && is_clean_text(data, count)) {
        node["text"] = std::string(reinterpret_cast<const char *>(data), count - 1);
    } else {
        node["hex"] = hex(data, count);
    }
    return node;
}

// Turns the flat walk (level, node) into nested "fields" arrays.
json nest(std::vector<std::pair<int, json>> &walk, size_t &i, int level)
{
    json fields = json::array();
    while (i < walk.size() && walk[i].first == level) {
        json node = std::move(walk[i].second);
        ++i;
        if (node.contains("fields"))
            node["fields"] = nest(walk, i, level + 1);
        fields.push_back(std::move(node));
    }
    return fields;
}

} // namespace

std::string type_text(uint32_t type)
{
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned char c = static_cast<unsigned char>(type >> shift);
        if (c == 0 && shift != 24)
            continue; // padding of a short code
        if (c >= 0x21 && c <= 0x7E) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

json decode_message(const uint8_t *data, size_t size)
{
    std::vector<std::pair<int, json>> walk;
    std::vector<uint32_t> types; // type per open level
    tlv_reader *reader = nullptr;
    auto *cursor = const_cast<uint8_t *>(data); // the walk never writes
    size_t avail = size;
    int next = 0;
    std::string error;
    for (;;) {
        int64_t result = tlv_parse(&reader, &cursor, &avail, next);
        if (result < 0) {
            error = "malformed element at byte " + std::to_string(cursor - data);
            break;
        }
        if (result > 0) {
            error = "message breaks off at byte " + std::to_string(cursor - data) + ": " + std::to_string(result) +
                    " more bytes expected";
            break;
        }
        if (!reader)
            break; // the envelope has been walked to its end
        int level = tlv_get_level(reader);
        uint32_t type = tlv_get_parent_type(reader, level);
        uint32_t length = tlv_get_length(reader);
        if (!tlv_can_reach_end(reader, avail)) {
            error = type_text(type) + " at byte " + std::to_string(cursor - data - 8) + " claims " +
                    std::to_string(length) + " bytes but only " + std::to_string(avail) + " follow";
            break;
        }
        uint32_t parent = level > 0 ? tlv_get_parent_type(reader, level - 1) : 0;
        if (element_nests<element_family::ipconf>(type)) {
            json node = level == 0 ? json{{"type", type_text(type)}} : labelled(type, parent);
            if (level == 0)
                node["size"] = length + 8;
            node["fields"] = json::array();
            walk.emplace_back(level, std::move(node));
            next = length == 0 ? 1 : 0; // an empty container has no first child to open
        } else {
            json node =
                level == 0 ? json{{"type", type_text(type)}, {"size", length + 8}} : leaf(type, parent, cursor, length);
            walk.emplace_back(level, std::move(node));
            next = 1;
        }
    }
    tlv_skip(reader, nullptr, nullptr);
    if (walk.empty()) {
        json type = size >= 8 ? json(type_text(tlv_get_envelope_type(data))) : json(nullptr);
        return {{"type", type}, {"size", size}, {"error", error.empty() ? "no message" : error}};
    }
    size_t i = 0;
    json fields = nest(walk, i, 0);
    json message = fields.at(0);
    if (!error.empty())
        message["error"] = error;
    if (error.empty() && size > message["size"].get<size_t>())
        message["trailing_bytes"] = size - message["size"].get<size_t>();
    return message;
}

namespace {

void print_fields(FILE *stream, const json &fields, int depth)
{
    for (const auto &field : fields) {
        std::string indent(static_cast<size_t>(depth) * 2, ' ');
        const std::string name = field.value("label", field.value("type", ""));
        if (field.contains("fields")) {
            std::fprintf(stream, "%s%s\n", indent.c_str(), name.c_str());
            print_fields(stream, field["fields"], depth + 1);
        } else if (field.contains("text")) {
            std::fprintf(stream, "%s%s: %s\n", indent.c_str(), name.c_str(),
                         printable(field["text"].get<std::string>()).c_str());
        } else if (field.contains("meaning")) {
            std::fprintf(stream, "%s%s: %s (%u)\n", indent.c_str(), name.c_str(), shown(field["meaning"]).c_str(),
                         field["number"].get<unsigned>());
        } else if (field.contains("number")) {
            std::fprintf(stream, "%s%s: %u\n", indent.c_str(), name.c_str(), field["number"].get<unsigned>());
        } else {
            std::fprintf(stream, "%s%s: 0x%s\n", indent.c_str(), name.c_str(), field.value("hex", "").c_str());
        }
    }
}

} // namespace

void print_decoded(FILE *stream, const json &message)
{
    std::fprintf(stream, "%s (%s bytes)\n", shown(message["type"]).c_str(), shown(message["size"]).c_str());
    if (message.contains("fields"))
        print_fields(stream, message["fields"], 1);
    if (message.contains("error"))
        std::fprintf(stream, "  ! %s\n", message["error"].get<std::string>().c_str());
    if (message.contains("trailing_bytes"))
        std::fprintf(stream, "  ! %s bytes after the message\n", shown(message["trailing_bytes"]).c_str());
}

} // namespace ctl
