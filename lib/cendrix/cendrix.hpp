// Client library of the device's configuration service, which serves the
// interface org.cendrix.Config1 on the D-Bus system bus. A context holds one
// bus connection and a map of properties that the calls fill and send, and
// can follow the service's announcements that what readers see has changed.
// Every call is synchronous with a time-out of one second; results are 0 or
// -1 with errno ETIMEDOUT, ENOTCONN (or another connection error) when the
// service cannot be reached, EIO when it answered with a refusal. Texts are
// malloc'd and freed by the caller. Nothing throws, nothing starts a thread.
#pragma once

#include <cstdint>

extern "C" {

struct cendrix_session;

// Zero-initialise before cendrix_init; the session belongs to the library.
typedef struct cendrix_context {
    struct cendrix_session *session;
} cendrix_context;

// Whether the errno of a failed call says that the service could not be
// reached (as opposed to EIO, a refusal of the service itself).
[[nodiscard]] bool cendrix_unreachable(int error);

// Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured); 0 or -1.
// Whether the service answers is what the first cendrix_get_config finds out.
[[nodiscard]] int cendrix_init(cendrix_context *context);

// Drops the connection and the properties; the context may be initialised again.
int cendrix_close(cendrix_context *context);

// Empties the properties held in the context.
int cendrix_reset(cendrix_context *context);

// Replaces the context's properties with those of configuration `number`.
[[nodiscard]] int cendrix_get_config(cendrix_context *context, uint32_t number);

// Stores the context's properties into configuration `number`; the
// configuration's other properties keep their values.
[[nodiscard]] int cendrix_set_config(cendrix_context *context, uint32_t number);

// Finds the first resource of the class whose properties equal those held in
// the context; on success the context holds that resource's properties.
[[nodiscard]] int cendrix_find_resource(cendrix_context *context, uint32_t resource_class);

// Stores the context's properties into the resource of the class whose "id" is `id`.
[[nodiscard]] int cendrix_set_resource(cendrix_context *context, uint32_t resource_class, uint32_t id);

// A malloc'd copy of a text property, or null when it is absent or not a text.
[[nodiscard]] char *cendrix_get_property_string(cendrix_context *context, const char *key);

// 0 with an unsigned 32-bit property written; -1 when absent or of another type.
[[nodiscard]] int cendrix_get_property_uint32(cendrix_context *context, const char *key, uint32_t *value);

// 0 with a boolean property written as 0 or 1 (an unsigned property is given
// as its value); -1 when absent or a text.
[[nodiscard]] int cendrix_get_property_boolean(cendrix_context *context, const char *key, int32_t *value);

// Set a property in the context, replacing one of the same key; 0, or -1
// without an initialised context.
int cendrix_set_property_string(cendrix_context *context, const char *key, const char *value);
int cendrix_set_property_uint32(cendrix_context *context, const char *key, uint32_t value);

// Change announcements. A service may send the signal Changed on its object
// whenever a write has become visible to readers (before it answers the
// writer). A client that keeps what it read calls cendrix_process_changes
// before each use, and reads afresh, after that call, whenever it reports a
// change: it then never uses a value older than the last announcement.

// Subscribes the context to the service's announcements, and to its name
// passing to another process, then asks the service (by introspection)
// whether it declares the signal. 1: it announces changes; 0: it does not,
// or it refused the question (a service without introspection); -1 with
// errno as for the other calls when the subscription or the question found
// the service or the bus unreachable. May be called again (after
// cendrix_process_changes gave 2) to ask anew; the subscription is made once.
[[nodiscard]] int cendrix_watch_changes(cendrix_context *context);

// The bus connection's descriptor, to wait for announcements (readable), or
// -1. It lives as long as the context's connection. An announcement that
// another call read while it waited for its reply is held in the context and
// no longer makes the descriptor readable: call cendrix_process_changes after
// the context's other calls, not only when the descriptor is readable.
[[nodiscard]] int cendrix_get_fd(cendrix_context *context);

// Handles what has arrived on the connection, without waiting:
//   0  nothing announced since the last call;
//   1  the service announced one or more changes (or more was waiting than
//      one call handles: the rest waits for the next call, and a change is
//      assumed);
//   2  the service's name passed to another process (restarted or replaced):
//      anything may have changed, and whether the new service announces
//      changes is known only by calling cendrix_watch_changes again;
//  -1  the connection failed (errno as for the calls) or the context is not
//      watching.
[[nodiscard]] int cendrix_process_changes(cendrix_context *context);
}
