// cendrixd: the reference configuration service. Serves the interface
// org.cendrix.Config1 on the system bus from a JSON store, persists every
// accepted write before it answers, and can hold writes back from readers for
// a while (--apply-delay) and tell the writer when they show (--notify-writer).
// Whenever a write shows, it announces so with the signal Changed on its object.

#include "lib/cendrix/property_map.hpp"
#include "store.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <getopt.h>
#include <string>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-event.h>
#include <unistd.h>

namespace {

using cendrix_store::json;
using cendrix_wire::property_map;

enum class object_kind { configuration, resource };

// One accepted write, waiting to become visible to readers.
struct pending_write {
    object_kind kind;
    uint32_t number; // configuration number or resource class
    uint32_t id;     // resource id
    property_map properties;
    pid_t writer;
};

struct service {
    std::string store_path;
    uint64_t apply_delay_usec = 0;
    bool notify_writer = false;
    bool announce = true; // declare and send Changed
    json stored;          // what the store file holds: every accepted write
    json visible;         // what readers see
    std::deque<pending_write> pending;
    sd_event *event = nullptr;
    sd_bus *bus = nullptr;
};

constexpr const char *version_line = "version " ORV_VERSION "\n";
constexpr const char *usage_text =
    "usage: cendrixd --store PATH [--apply-delay SECONDS] [--notify-writer] [--no-change-signal]\n"
    "options:\n"
    "\t--store PATH           \tthe JSON store (required)\n"
    "\t--apply-delay SECONDS  \tshow writes to readers this many seconds later\n"
    "\t--notify-writer        \tsend SIGHUP to the writer once its write shows\n"
    "\t--no-change-signal     \tneither declare nor send the signal Changed\n"
    "\t-h, --help             \tprint this help\n"
    "\t-v, --version          \tprint version\n";

struct message_unref {
    void operator()(sd_bus_message *message) const { sd_bus_message_unref(message); }
};

int reply_error(sd_bus_message *call, const char *name, const std::string &text)
{
    return sd_bus_reply_method_errorf(call, name, "%s", text.c_str());
}

int reply_properties(sd_bus_message *call, const property_map &properties)
{
    sd_bus_message *raw = nullptr;
    int result = sd_bus_message_new_method_return(call, &raw);
    if (result < 0)
        return result;
    std::unique_ptr<sd_bus_message, message_unref> reply(raw);
    result = cendrix_wire::append_properties(reply.get(), properties);
    if (result < 0)
        return reply_error(call, SD_BUS_ERROR_FAILED, "a stored text is not valid UTF-8");
    return sd_bus_send(nullptr, reply.get(), nullptr);
}

// Reads the a{sv} argument; a value of another type than s, u or b is refused.
bool read_arguments(sd_bus_message *call, property_map &properties)
{
    return cendrix_wire::read_properties(call, properties) >= 0;
}

pid_t sender_pid(sd_bus_message *call)
{
    sd_bus_creds *creds = nullptr;
    pid_t pid = 0;
    if (sd_bus_query_sender_creds(call, SD_BUS_CREDS_PID, &creds) >= 0) {
        if (sd_bus_creds_get_pid(creds, &pid) < 0)
            pid = 0;
        sd_bus_creds_unref(creds);
    }
    return pid;
}

std::string object_name(const pending_write &write)
{
    if (write.kind == object_kind::configuration)
        return "configuration " + std::to_string(write.number);
    return "resource " + std::to_string(write.id) + " of class " + std::to_string(write.number);
}

cendrix_store::write_result apply_write(json &document, const pending_write &write)
{
    if (write.kind == object_kind::configuration)
        return cendrix_store::set_config(document, write.number, write.properties);
    return cendrix_store::set_resource(document, write.number, write.id, write.properties);
}

// The write is now what readers see, and subscribers hear of it at once.
void make_visible(service &self, const pending_write &write)
{
    (void)apply_write(self.visible, write);
    if (self.apply_delay_usec > 0)
        std::fprintf(stderr, "cendrixd: %s now visible\n", object_name(write).c_str());
    if (!self.announce)
        return;
    if (const int result = sd_bus_emit_signal(self.bus, cendrix_wire::object_path, cendrix_wire::interface_name,
                                              cendrix_wire::changed_signal, "");
        result < 0)
        std::fprintf(stderr, "cendrixd: cannot announce the change: %s\n", std::strerror(-result));
}

// The writer, when asked, learns that its write shows. A writer that reads
// the bus on that signal must find the announcement there: a round trip to
// the bus, which handles this connection's messages in order, makes sure it
// has been handed on before the signal goes.
void tell_writer(service &self, const pending_write &write)
{
    if (!self.notify_writer || write.writer <= 0)
        return;
    // GetId: the system bus's policy lets anyone call the bus's own interface.
    if (const int result = sd_bus_call_method(self.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "GetId", nullptr, nullptr, "");
        result < 0)
        std::fprintf(stderr, "cendrixd: the bus does not answer: %s\n", std::strerror(-result));
    if (kill(write.writer, SIGHUP) == 0)
        std::fprintf(stderr, "cendrixd: sent SIGHUP to %d\n", static_cast<int>(write.writer));
    else
        std::fprintf(stderr, "cendrixd: cannot signal %d: %s\n", static_cast<int>(write.writer), std::strerror(errno));
}

// Writes are applied in order and all wait the same delay, so each timer
// makes the oldest pending write visible.
int on_apply_due(sd_event_source *, uint64_t, void *userdata)
{
    auto &self = *static_cast<service *>(userdata);
    if (!self.pending.empty()) {
        const pending_write write = std::move(self.pending.front());
        self.pending.pop_front();
        make_visible(self, write);
        tell_writer(self, write);
    }
    return 0;
}

int handle_write(service &self, sd_bus_message *call, pending_write write)
{
    json next = self.stored;
    const auto outcome = apply_write(next, write);
    if (outcome.result == cendrix_store::outcome::not_found)
        return reply_error(call, cendrix_wire::error_not_found, outcome.fault);
    if (outcome.result == cendrix_store::outcome::invalid_args)
        return reply_error(call, cendrix_wire::error_invalid_args, outcome.fault);
    if (const std::string fault = cendrix_store::save(self.store_path, next); !fault.empty()) {
        std::fprintf(stderr, "cendrixd: store %s: %s\n", self.store_path.c_str(), fault.c_str());
        return reply_error(call, SD_BUS_ERROR_FAILED, "the store cannot be written");
    }
    self.stored = std::move(next);
    std::fprintf(stderr, "cendrixd: wrote %s %s (pid %d)\n", object_name(write).c_str(),
                 cendrix_store::describe(write.properties).c_str(), static_cast<int>(write.writer));

    if (self.apply_delay_usec == 0) {
        // Announced before the reply: the bus hands the signal on first, so a
        // subscriber has it by the time the writer knows its write is done.
        make_visible(self, write);
        const int result = sd_bus_reply_method_return(call, "");
        tell_writer(self, write);
        return result;
    }
    const int result = sd_bus_reply_method_return(call, "");
    uint64_t now = 0;
    sd_event_now(self.event, CLOCK_MONOTONIC, &now);
    self.pending.push_back(std::move(write));
    if (sd_event_add_time(self.event, nullptr, CLOCK_MONOTONIC, now + self.apply_delay_usec, 0, on_apply_due, &self) <
        0) {
        // Without a timer the write would never show: show it now instead.
        std::fprintf(stderr, "cendrixd: cannot delay the write; applying it now\n");
        on_apply_due(nullptr, 0, &self);
    }
    return result;
}

template <typename Body>
int guarded(sd_bus_message *call, Body body)
{
    try {
        return body();
    } catch (...) {
        return reply_error(call, SD_BUS_ERROR_NO_MEMORY, "out of memory");
    }
}

int on_get_config(sd_bus_message *call, void *userdata, sd_bus_error *)
{
    auto &self = *static_cast<service *>(userdata);
    return guarded(call, [&] {
        uint32_t number = 0;
        const int result = sd_bus_message_read(call, "u", &number);
        if (result < 0)
            return result;
        const auto properties = cendrix_store::get_config(self.visible, number);
        if (!properties)
            return reply_error(call, cendrix_wire::error_not_found, "no configuration " + std::to_string(number));
        return reply_properties(call, *properties);
    });
}

int on_find_resource(sd_bus_message *call, void *userdata, sd_bus_error *)
{
    auto &self = *static_cast<service *>(userdata);
    return guarded(call, [&] {
        uint32_t resource_class = 0;
        property_map match;
        const int result = sd_bus_message_read(call, "u", &resource_class);
        if (result < 0)
            return result;
        if (!read_arguments(call, match))
            return reply_error(call, cendrix_wire::error_invalid_args, "values must be of type s, u or b");
        const auto properties = cendrix_store::find_resource(self.visible, resource_class, match);
        if (!properties)
            return reply_error(call, cendrix_wire::error_not_found,
                               "no matching resource of class " + std::to_string(resource_class));
        return reply_properties(call, *properties);
    });
}

// A write of either kind: the numbers that name its object, as `read_numbers`
// takes them from the call, then its properties.
template <typename ReadNumbers>
int on_write(sd_bus_message *call, void *userdata, object_kind kind, ReadNumbers read_numbers)
{
    auto &self = *static_cast<service *>(userdata);
    return guarded(call, [&] {
        pending_write write{kind, 0, 0, {}, 0};
        const int result = read_numbers(write);
        if (result < 0)
            return result;
        if (!read_arguments(call, write.properties))
            return reply_error(call, cendrix_wire::error_invalid_args, "values must be of type s, u or b");
        write.writer = sender_pid(call);
        return handle_write(self, call, std::move(write));
    });
}

int on_set_config(sd_bus_message *call, void *userdata, sd_bus_error *)
{
    return on_write(call, userdata, object_kind::configuration,
                    [call](pending_write &write) { return sd_bus_message_read(call, "u", &write.number); });
}

int on_set_resource(sd_bus_message *call, void *userdata, sd_bus_error *)
{
    return on_write(call, userdata, object_kind::resource,
                    [call](pending_write &write) { return sd_bus_message_read(call, "uu", &write.number, &write.id); });
}

#define CONFIG_METHODS                                                                                                 \
    SD_BUS_METHOD("GetConfig", "u", "a{sv}", on_get_config, SD_BUS_VTABLE_UNPRIVILEGED),                               \
        SD_BUS_METHOD("SetConfig", "ua{sv}", "", on_set_config, SD_BUS_VTABLE_UNPRIVILEGED),                           \
        SD_BUS_METHOD("FindResource", "ua{sv}", "a{sv}", on_find_resource, SD_BUS_VTABLE_UNPRIVILEGED),                \
        SD_BUS_METHOD("SetResource", "uua{sv}", "", on_set_resource, SD_BUS_VTABLE_UNPRIVILEGED)

const sd_bus_vtable config_vtable[] = {
    SD_BUS_VTABLE_START(0),
    CONFIG_METHODS,
    SD_BUS_SIGNAL(cendrix_wire::changed_signal, "", 0),
    SD_BUS_VTABLE_END,
};

// As a service that does not announce its changes: readers must then read
// afresh every time.
const sd_bus_vtable silent_config_vtable[] = {
    SD_BUS_VTABLE_START(0),
    CONFIG_METHODS,
    SD_BUS_VTABLE_END,
};

int on_stop(sd_event_source *source, const signalfd_siginfo *, void *)
{
    return sd_event_exit(sd_event_source_get_event(source), 0);
}

[[noreturn]] void refuse(const std::string &line, int status = 1)
{
    std::fprintf(stderr, "cendrixd: %s\n", line.c_str());
    std::exit(status);
}

constexpr int usage_status = 2;
// A missing or malformed store is a configuration error that a restart cannot
// mend: the unit excludes this status from its restarts (sysexits' EX_CONFIG).
constexpr int store_refused_status = 78;

bool parse_seconds(const char *text, uint64_t &usec)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long seconds = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || seconds > 86400)
        return false;
    usec = seconds * 1'000'000ULL;
    return true;
}

void parse_command_line(int argc, char **argv, service &self)
{
    static const option options[] = {
        {"store", required_argument, nullptr, 's'},
        {"apply-delay", required_argument, nullptr, 'd'},
        {"notify-writer", no_argument, nullptr, 'n'},
        {"no-change-signal", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'v'},
        {nullptr, 0, nullptr, 0},
    };
    int option_code = 0;
    while ((option_code = getopt_long(argc, argv, "hv", options, nullptr)) != -1) {
        switch (option_code) {
        case 's':
            self.store_path = optarg;
            break;
        case 'd':
            if (!parse_seconds(optarg, self.apply_delay_usec))
                refuse(std::string("--apply-delay wants whole seconds from 0 to 86400, not \"") + optarg + "\"",
                       usage_status);
            break;
        case 'n':
            self.notify_writer = true;
            break;
        case 'q':
            self.announce = false;
            break;
        case 'h':
            std::fputs(version_line, stdout);
            std::fputs(usage_text, stdout);
            std::exit(0);
        case 'v':
            std::fputs(version_line, stdout);
            std::exit(0);
        default:
            std::fputs(usage_text, stderr);
            std::exit(usage_status);
        }
    }
    if (self.store_path.empty() || optind != argc) {
        std::fputs(usage_text, stderr);
        std::exit(usage_status);
    }
}

} // namespace

int main(int argc, char **argv)
{
    static service self;
    parse_command_line(argc, argv, self);

    std::string fault;
    auto document = cendrix_store::load(self.store_path, fault);
    if (!document)
        refuse("store " + self.store_path + ": " + fault, store_refused_status);
    self.stored = *document;
    self.visible = std::move(*document);

    // The event loop takes the stop signals through a signalfd.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);

    sd_event *event = nullptr;
    sd_bus *bus = nullptr;
    int result = sd_event_new(&event);
    if (result >= 0)
        result = sd_event_add_signal(event, nullptr, SIGTERM, on_stop, nullptr);
    if (result >= 0)
        result = sd_event_add_signal(event, nullptr, SIGINT, on_stop, nullptr);
    if (result < 0)
        refuse(std::string("cannot set up the event loop: ") + std::strerror(-result));
    self.event = event;

    result = sd_bus_open_system(&bus);
    if (result < 0)
        refuse(std::string("cannot connect to the system bus: ") + std::strerror(-result));
    self.bus = bus;
    result = sd_bus_add_object_vtable(bus, nullptr, cendrix_wire::object_path, cendrix_wire::interface_name,
                                      self.announce ? config_vtable : silent_config_vtable, &self);
    if (result >= 0)
        result = sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL);
    if (result >= 0)
        result = sd_bus_set_exit_on_disconnect(bus, 1);
    if (result < 0)
        refuse(std::string("cannot serve on the bus: ") + std::strerror(-result));
    result = sd_bus_request_name(bus, cendrix_wire::bus_name, 0);
    if (result < 0)
        refuse(std::string("cannot own ") + cendrix_wire::bus_name + ": " + std::strerror(-result));

    std::fprintf(stderr, "cendrixd: serving %s from %s\n", cendrix_wire::bus_name, self.store_path.c_str());
    // Under systemd (Type=notify) the units that need the name start now.
    (void)sd_notify(0, "READY=1");
    result = sd_event_loop(event);
    sd_bus_flush_close_unref(bus);
    sd_event_unref(event);
    std::fprintf(stderr, "cendrixd: stopped\n");
    return result == 0 ? 0 : 1;
}
