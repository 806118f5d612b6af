#include "lib/dorvik/rpc_msg.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

using json = nlohmann::ordered_json;

namespace {

struct DictionaryDelete {
    void operator()(Dictionary *dictionary) const { Dictionary_Destroy(dictionary); }
};
using DictionaryPtr = std::unique_ptr<Dictionary, DictionaryDelete>;

// Requests and replies are flat: an object of arguments whose values are at
// most dictionaries. Anything nested deeper is refused before parsing.
constexpr int max_depth = 8;
constexpr size_t max_function_name = 255;

// encode_reply writes these two as fixed texts.
static_assert(RPC_STATUS_REPLY_TOO_LONG == 7 && RPC_STATUS_NO_MEMORY == 8);

bool nesting_within(std::string_view text, int limit)
{
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limit)
                return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

// Parses an untrusted line: size and nesting are checked first, the parser
// never throws; anything but an object comes back as a discarded value.
json parse_object(std::string_view line)
{
    if (line.size() >= RPC_MAX_LINE || !nesting_within(line, max_depth))
        return json(json::value_t::discarded);
    json doc = json::parse(line.begin(), line.end(), nullptr, false);
    if (!doc.is_object())
        return json(json::value_t::discarded);
    return doc;
}

bool read_u32(const json &doc, const char *key, uint32_t &out)
{
    auto found = doc.find(key);
    if (found == doc.end() || !found->is_number_unsigned())
        return false;
    auto value = found->get<uint64_t>();
    if (value > std::numeric_limits<uint32_t>::max())
        return false;
    out = static_cast<uint32_t>(value);
    return true;
}

void set_status(RPCCall *call, uint32_t status)
{
    if (call != nullptr)
        call->status = status;
}

} // namespace

struct RPCMsg {
    uint32_t signature = 0;
    json values = json::object();
    std::vector<std::pair<std::string, DictionaryPtr>> dictionaries;

    // Every value as one object, dictionaries written out in their order.
    json all_values() const
    {
        json all = values;
        for (const auto &[name, dictionary] : dictionaries) {
            json entries = json::object();
            size_t count = Dictionary_Count(dictionary.get());
            for (size_t i = 0; i < count; ++i)
                entries[Dictionary_KeyAt(dictionary.get(), i)] = Dictionary_ValueAt(dictionary.get(), i);
            all[name] = std::move(entries);
        }
        return all;
    }

    void forget(const std::string &name)
    {
        values.erase(name);
        std::erase_if(dictionaries, [&](const auto &entry) { return entry.first == name; });
    }
};

extern "C" {

RPCMsg *RPCMsg_Create(void)
{
    try {
        return new RPCMsg;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return nullptr;
    }
}

void RPCMsg_Destroy(RPCMsg *msg)
{
    delete msg;
}

uint32_t RPCMsg_GetSignature(const RPCMsg *msg)
{
    return msg == nullptr ? 0 : msg->signature;
}

int32_t RPCMsg_Get_Int32(RPCCall *call, const RPCMsg *msg, const char *name)
{
    if (msg == nullptr || name == nullptr) {
        set_status(call, RPC_STATUS_MISSING_ARGUMENT);
        return 0;
    }
    auto found = msg->values.find(name);
    if (found == msg->values.end()) {
        bool is_dictionary = std::any_of(msg->dictionaries.begin(), msg->dictionaries.end(),
                                         [&](const auto &entry) { return entry.first == name; });
        set_status(call, is_dictionary ? RPC_STATUS_BAD_ARGUMENT : RPC_STATUS_MISSING_ARGUMENT);
        return 0;
    }
    if (found->is_number_unsigned()) {
        auto value = found->get<uint64_t>();
        if (value <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
            return static_cast<int32_t>(value);
    } else if (found->is_number_integer()) {
        auto value = found->get<int64_t>();
        if (value >= std::numeric_limits<int32_t>::min() && value <= std::numeric_limits<int32_t>::max())
            return static_cast<int32_t>(value);
    }
    set_status(call, RPC_STATUS_BAD_ARGUMENT);
    return 0;
}

int RPCMsg_Set_Int32(RPCCall *call, RPCMsg *msg, const char *name, int32_t value)
{
    if (msg == nullptr || name == nullptr) {
        set_status(call, RPC_STATUS_BAD_ARGUMENT);
        errno = EINVAL;
        return -1;
    }
    try {
        std::string key(name);
        msg->forget(key);
        msg->values[key] = value;
        return 0;
    } catch (const std::bad_alloc &) {
        set_status(call, RPC_STATUS_NO_MEMORY);
        errno = ENOMEM;
        return -1;
    }
}

int RPCMsg_Set_Dictionary_ByRef(RPCCall *call, RPCMsg *msg, const char *name, Dictionary *dictionary)
{
    DictionaryPtr owned(dictionary);
    if (msg == nullptr || name == nullptr || dictionary == nullptr) {
        set_status(call, RPC_STATUS_BAD_ARGUMENT);
        errno = EINVAL;
        return -1;
    }
    try {
        std::string key(name);
        msg->dictionaries.reserve(msg->dictionaries.size() + 1);
        msg->forget(key);
        msg->dictionaries.emplace_back(std::move(key), std::move(owned));
        return 0;
    } catch (const std::bad_alloc &) {
        set_status(call, RPC_STATUS_NO_MEMORY);
        errno = ENOMEM;
        return -1;
    }
}

Dictionary *RPCMsg_Get_Dictionary(RPCCall *call, const RPCMsg *msg, const char *name)
{
    if (msg == nullptr || name == nullptr) {
        set_status(call, RPC_STATUS_MISSING_ARGUMENT);
        return nullptr;
    }
    try {
        json all = msg->all_values();
        auto found = all.find(name);
        if (found == all.end()) {
            set_status(call, RPC_STATUS_MISSING_ARGUMENT);
            return nullptr;
        }
        if (!found->is_object()) {
            set_status(call, RPC_STATUS_BAD_ARGUMENT);
            return nullptr;
        }
        DictionaryPtr dictionary(Dictionary_CreateEx(0));
        if (!dictionary)
            throw std::bad_alloc();
        for (const auto &[key, value] : found->items()) {
            if (!value.is_string()) {
                set_status(call, RPC_STATUS_BAD_ARGUMENT);
                return nullptr;
            }
            if (Dictionary_Set(dictionary.get(), key.c_str(), value.get_ref<const std::string &>().c_str()) != 0)
                throw std::bad_alloc();
        }
        return dictionary.release();
    } catch (const std::bad_alloc &) {
        set_status(call, RPC_STATUS_NO_MEMORY);
        errno = ENOMEM;
        return nullptr;
    }
}

} // extern "C"

namespace dorvik {

bool parse_address(const char *address, sockaddr_un &out)
{
    constexpr std::string_view scheme = "unix:";
    if (address == nullptr || std::strncmp(address, scheme.data(), scheme.size()) != 0)
        return false;
    const char *path = address + scheme.size();
    size_t length = std::strlen(path);
    if (length == 0 || length >= sizeof out.sun_path)
        return false;
    std::memset(&out, 0, sizeof out);
    out.sun_family = AF_UNIX;
    std::memcpy(out.sun_path, path, length + 1);
    return true;
}

uint32_t decode_request(std::string_view line, RPCMsg &request, std::string &function)
{
    try {
        json doc = parse_object(line);
        if (!doc.is_object())
            return RPC_STATUS_MALFORMED;
        auto name = doc.find("function");
        if (name == doc.end() || !name->is_string())
            return RPC_STATUS_MALFORMED;
        const auto &text = name->get_ref<const std::string &>();
        if (text.empty() || text.size() > max_function_name)
            return RPC_STATUS_MALFORMED;
        uint32_t signature = 0;
        if (!read_u32(doc, "signature", signature))
            return RPC_STATUS_MALFORMED;
        json args = json::object();
        if (auto found = doc.find("args"); found != doc.end()) {
            if (!found->is_object())
                return RPC_STATUS_MALFORMED;
            args = std::move(*found);
        }
        function = text;
        request.signature = signature;
        request.values = std::move(args);
        request.dictionaries.clear();
        return RPC_STATUS_OK;
    } catch (const std::bad_alloc &) {
        return RPC_STATUS_NO_MEMORY;
    }
}

bool encode_request(std::string_view function, uint32_t signature, const RPCMsg *args, std::string &line)
{
    try {
        json doc = json::object();
        doc["function"] = function;
        doc["signature"] = signature;
        doc["args"] = args != nullptr ? args->all_values() : json::object();
        line = doc.dump(-1, ' ', false, json::error_handler_t::replace);
        line += '\n';
        return line.size() <= RPC_MAX_LINE;
    } catch (const std::exception &) {
        return false;
    }
}

std::string encode_reply(uint32_t status, const RPCMsg *results) noexcept
{
    try {
        json doc = json::object();
        doc["status"] = status;
        if (status == RPC_STATUS_OK)
            doc["results"] = results != nullptr ? results->all_values() : json::object();
        std::string line = doc.dump(-1, ' ', false, json::error_handler_t::replace);
        line += '\n';
        if (line.size() <= RPC_MAX_LINE)
            return line;
        return "{\"status\":7}\n"; // RPC_STATUS_REPLY_TOO_LONG; short enough not to allocate
    } catch (const std::exception &) {
        return "{\"status\":8}\n"; // RPC_STATUS_NO_MEMORY
    }
}

bool decode_reply(std::string_view line, uint32_t &status, RPCMsg &results)
{
    try {
        json doc = parse_object(line);
        if (!doc.is_object() || !read_u32(doc, "status", status))
            return false;
        json values = json::object();
        if (auto found = doc.find("results"); found != doc.end()) {
            if (!found->is_object())
                return false;
            values = std::move(*found);
        }
        results.values = std::move(values);
        results.dictionaries.clear();
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

} // namespace dorvik
