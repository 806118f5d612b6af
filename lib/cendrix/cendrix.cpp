#include "lib/cendrix/cendrix.hpp"

#include "lib/cendrix/property_map.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <systemd/sd-bus.h>

using cendrix_wire::property_map;
using cendrix_wire::property_value;

struct slot_unref {
    void operator()(sd_bus_slot *slot) const { sd_bus_slot_unref(slot); }
};
using slot_ptr = std::unique_ptr<sd_bus_slot, slot_unref>;

struct cendrix_session {
    sd_bus *bus = nullptr;
    property_map properties;
    cendrix_wire::property_nodes spare; // nodes of earlier replies, reused by the next
    int reason = EIO;                   // errno of the last failed call
    slot_ptr announcements;             // the service's Changed signal
    slot_ptr owner_changes;             // the service's name passing to another process
    bool changed = false;               // announced since the last cendrix_process_changes
    bool replaced = false;              // likewise, a new owner of the name

    ~cendrix_session()
    {
        announcements.reset();
        owner_changes.reset();
        sd_bus_flush_close_unref(bus);
    }
};

namespace {

// A healthy service answers within milliseconds; a caller that serves a
// network from one thread must not be held longer than a second by one that
// hangs.
constexpr uint64_t call_timeout_usec = 1'000'000;

struct message_unref {
    void operator()(sd_bus_message *message) const { sd_bus_message_unref(message); }
};
using message_ptr = std::unique_ptr<sd_bus_message, message_unref>;

struct error_guard {
    sd_bus_error error = {}; // SD_BUS_ERROR_NULL, which clang -Wpedantic refuses as a C99 compound literal
    ~error_guard() { sd_bus_error_free(&error); }
};

cendrix_session *session_of(cendrix_context *context)
{
    return context == nullptr ? nullptr : context->session;
}

// The errno of a failed call: the reasons that say the service cannot be
// reached (no answer in time, not on the bus, the bus connection gone) pass
// through; any answer of the service itself becomes EIO.
int reason_of(int result, const sd_bus_error &error)
{
    if (sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
        sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER) ||
        sd_bus_error_has_name(&error, SD_BUS_ERROR_NO_REPLY))
        return ENOTCONN;
    return cendrix_unreachable(-result) ? -result : EIO;
}

// Calls `method` of the service's object with the arguments that `append`
// adds; the reply, if wanted, goes to `reply`. 0 or -1 with session.reason
// set (reason_of).
template <typename Append>
int call(cendrix_session &session, const char *interface, const char *method, Append append, message_ptr *reply)
{
    sd_bus_message *raw = nullptr;
    if (sd_bus_message_new_method_call(session.bus, &raw, cendrix_wire::bus_name, cendrix_wire::object_path, interface,
                                       method) < 0)
        return -1;
    message_ptr request(raw);
    if (append(request.get()) < 0)
        return -1;
    error_guard error;
    sd_bus_message *answer = nullptr;
    if (const int result = sd_bus_call(session.bus, request.get(), call_timeout_usec, &error.error, &answer);
        result < 0) {
        session.reason = reason_of(result, error.error);
        return -1;
    }
    message_ptr answer_guard(answer);
    if (reply != nullptr)
        *reply = std::move(answer_guard);
    return 0;
}

// Replaces the session's properties with the a{sv} of the reply.
int take_properties(cendrix_session &session, sd_bus_message *reply)
{
    property_map received;
    if (cendrix_wire::read_properties(reply, received, &session.spare) < 0) {
        cendrix_wire::recycle_properties(received, session.spare);
        return -1;
    }
    cendrix_wire::recycle_properties(session.properties, session.spare);
    session.properties.swap(received);
    return 0;
}

// A text keeps the buffer of the text it replaces.
void assign(property_value &held, const char *text)
{
    if (auto *buffer = std::get_if<std::string>(&held))
        buffer->assign(text);
    else
        held = std::string(text);
}

void assign(property_value &held, uint32_t number)
{
    held = number;
}

// Sets one property, in a spare node when there is one.
template <typename Value>
void set_property(cendrix_session &session, const char *key, Value value)
{
    if (const auto held = session.properties.find(key); held != session.properties.end()) {
        assign(held->second, value);
        return;
    }
    if (session.spare.empty()) {
        assign(session.properties[key], value);
        return;
    }
    property_map::node_type node = std::move(session.spare.back());
    session.spare.pop_back();
    node.key().assign(key);
    assign(node.mapped(), value);
    session.properties.insert(std::move(node));
}

const property_value *find_property(cendrix_context *context, const char *key)
{
    cendrix_session *session = session_of(context);
    if (session == nullptr || key == nullptr)
        return nullptr;
    const auto entry = session->properties.find(key);
    return entry == session->properties.end() ? nullptr : &entry->second;
}

// Runs a call: 0, or -1 with errno saying why (reason_of).
template <typename Body>
int guarded(cendrix_session &session, Body body)
{
    session.reason = EIO;
    int result = -1;
    try {
        result = body();
    } catch (...) {
        result = -1;
    }
    if (result != 0)
        errno = session.reason;
    return result;
}

// A service that makes more changes than this between two looks is
// assumed to have changed; the rest waits for the next look.
constexpr int messages_per_look = 64;

int on_announced(sd_bus_message *, void *userdata, sd_bus_error *)
{
    static_cast<cendrix_session *>(userdata)->changed = true;
    return 0;
}

int on_owner_changed(sd_bus_message *, void *userdata, sd_bus_error *)
{
    static_cast<cendrix_session *>(userdata)->replaced = true;
    return 0;
}

// Whether the service's introspection data declares the Changed signal in
// its interface's element, attributes written as every D-Bus binding writes
// them.
bool declares_changes(std::string_view xml)
{
    const size_t begin = xml.find(std::string("<interface name=\"") + cendrix_wire::interface_name + '"');
    if (begin == std::string_view::npos)
        return false;
    const std::string_view element = xml.substr(begin, xml.find("</interface>", begin) - begin);
    return element.find(std::string("<signal name=\"") + cendrix_wire::changed_signal + '"') != std::string_view::npos;
}

// Adds the matches of the service's announcements and of its name's owner.
int subscribe(cendrix_session &session)
{
    sd_bus_slot *raw = nullptr;
    int result =
        sd_bus_match_signal(session.bus, &raw, cendrix_wire::bus_name, cendrix_wire::object_path,
                            cendrix_wire::interface_name, cendrix_wire::changed_signal, on_announced, &session);
    if (result < 0)
        return result;
    slot_ptr announcements(raw);
    const std::string owner_rule =
        std::string("type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") +
        cendrix_wire::bus_name + "'";
    result = sd_bus_add_match(session.bus, &raw, owner_rule.c_str(), on_owner_changed, &session);
    if (result < 0)
        return result;
    session.owner_changes.reset(raw);
    session.announcements = std::move(announcements);
    return 0;
}

} // namespace

extern "C" {

bool cendrix_unreachable(int error)
{
    switch (error) {
    case ETIMEDOUT:
    case ENOTCONN:
    case ECONNRESET:
    case ECONNREFUSED:
    case EPIPE:
    case ESHUTDOWN:
    case ENOBUFS:
        return true;
    default:
        return false;
    }
}

int cendrix_init(cendrix_context *context)
{
    if (context == nullptr || context->session != nullptr)
        return -1;
    auto *session = new (std::nothrow) cendrix_session;
    if (session == nullptr)
        return -1;
    // The bus's own calls (adding a match) wait no longer than the service's.
    if (sd_bus_open_system(&session->bus) < 0 || sd_bus_set_method_call_timeout(session->bus, call_timeout_usec) < 0) {
        delete session;
        return -1;
    }
    context->session = session;
    return 0;
}

int cendrix_close(cendrix_context *context)
{
    if (context == nullptr || context->session == nullptr)
        return -1;
    delete context->session;
    context->session = nullptr;
    return 0;
}

int cendrix_reset(cendrix_context *context)
{
    cendrix_session *session = session_of(context);
    if (session == nullptr)
        return -1;
    cendrix_wire::recycle_properties(session->properties, session->spare);
    return 0;
}

int cendrix_get_config(cendrix_context *context, uint32_t number)
{
    cendrix_session *session = session_of(context);
    if (session == nullptr)
        return -1;
    return guarded(*session, [&] {
        message_ptr reply;
        const auto append = [&](sd_bus_message *m) { return sd_bus_message_append(m, "u", number); };
        if (call(*session, cendrix_wire::interface_name, "GetConfig", append, &reply) < 0)
            return -1;
        return take_properties(*session, reply.get());
    });
}

int cendrix_set_config(cendrix_context *context, uint32_t number)
{
    cendrix_session *session = session_of(context);
    if (session == nullptr)
        return -1;
    return guarded(*session, [&] {
        const auto append = [&](sd_bus_message *m) {
            const int result = sd_bus_message_append(m, "u", number);
            return result < 0 ? result : cendrix_wire::append_properties(m, session->properties);
        };
        return call(*session, cendrix_wire::interface_name, "SetConfig", append, nullptr);
    });
}

int cendrix_find_resource(cendrix_context *context, uint32_t resource_class)
{
    cendrix_session *session = session_of(context);
    if (session == nullptr)
        return -1;
    return guarded(*session, [&] {
        message_ptr reply;
        const auto append = [&](sd_bus_message *m) {
            const int result = sd_bus_message_append(m, "u", resource_class);
            return result < 0 ? result : cendrix_wire::append_properties(m, session->properties);
        };
        if (call(*session, cendrix_wire::interface_name, "FindResource", append, &reply) < 0)
            return -1;
        return take_properties(*session, reply.get());
    });
}

int cendrix_set_resource(cendrix_context *context, uint32_t resource_class, uint32_t id)
{
    cendrix_session *session = session_of(context);
    if (session == nullptr)
        return -1;
    return guarded(*session, [&] {
        const auto append = [&](sd_bus_message *m) {
            const int result = sd_bus_message_append(m, "uu", resource_class, id);
            return result < 0 ? result : cendrix_wire::append_properties(m, session->properties);
        };
        return call(*session, cendrix_wire::interface_name, "SetResource", append, nullptr);
    });
}

char *cendrix_get_property_string(cendrix_context *context, const char *key)
{
    const property_value *value = find_property(context, key);
    const auto *text = value == nullptr ? nullptr : std::get_if<std::string>(value);
    return text == nullptr ? nullptr : strdup(text->c_str());
}

int cendrix_get_property_uint32(cendrix_context *context, const char *key, uint32_t *value)
{
    const property_value *found = find_property(context, key);
    const auto *number = found == nullptr ? nullptr : std::get_if<uint32_t>(found);
    if (number == nullptr || value == nullptr)
        return -1;
    *value = *number;
    return 0;
}

int cendrix_get_property_boolean(cendrix_context *context, const char *key, int32_t *value)
{
    const property_value *found = find_property(context, key);
    if (found == nullptr || value == nullptr)
        return -1;
    if (const auto *flag = std::get_if<bool>(found)) {
        *value = *flag ? 1 : 0;
        return 0;
    }
    if (const auto *number = std::get_if<uint32_t>(found)) {
        *value = static_cast<int32_t>(*number);
        return 0;
    }
    return -1;
}

int cendrix_set_property_string(cendrix_context *context, const char *key, const char *value)
{
    cendrix_session *session = session_of(context);
    if (session == nullptr || key == nullptr || value == nullptr)
        return -1;
    return guarded(*session, [&] {
        set_property(*session, key, value);
        return 0;
    });
}

int cendrix_set_property_uint32(cendrix_context *context, const char *key, uint32_t value)
{
    cendrix_session *session = session_of(context);
    if (session == nullptr || key == nullptr)
        return -1;
    return guarded(*session, [&] {
        set_property(*session, key, value);
        return 0;
    });
}

int cendrix_watch_changes(cendrix_context *context)
{
    cendrix_session *session = session_of(context);
    if (session == nullptr)
        return -1;
    session->reason = EIO;
    try {
        if (!session->announcements) {
            error_guard none;
            if (const int result = subscribe(*session); result < 0) {
                errno = reason_of(result, none.error);
                return -1;
            }
        }
        message_ptr reply;
        const auto no_arguments = [](sd_bus_message *) { return 0; };
        if (call(*session, "org.freedesktop.DBus.Introspectable", "Introspect", no_arguments, &reply) < 0) {
            if (session->reason == EIO)
                return 0; // it answered, with a refusal
            errno = session->reason;
            return -1;
        }
        const char *xml = nullptr;
        if (sd_bus_message_read(reply.get(), "s", &xml) < 0)
            return 0;
        return declares_changes(xml) ? 1 : 0;
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
}

int cendrix_get_fd(cendrix_context *context)
{
    cendrix_session *session = session_of(context);
    if (session == nullptr)
        return -1;
    const int fd = sd_bus_get_fd(session->bus);
    return fd < 0 ? -1 : fd;
}

int cendrix_process_changes(cendrix_context *context)
{
    cendrix_session *session = session_of(context);
    if (session == nullptr || !session->announcements)
        return -1;
    // Match callbacks run only here: messages that a call read while it
    // waited for its reply have waited in the connection's queue.
    bool more_waiting = true;
    for (int handled = 0; handled < messages_per_look; ++handled) {
        const int result = sd_bus_process(session->bus, nullptr);
        if (result < 0) {
            error_guard none;
            errno = reason_of(result, none.error);
            return -1;
        }
        if (result == 0) {
            more_waiting = false;
            break;
        }
    }
    const int outcome = session->replaced ? 2 : session->changed || more_waiting ? 1 : 0;
    session->replaced = false;
    session->changed = false;
    return outcome;
}
}
