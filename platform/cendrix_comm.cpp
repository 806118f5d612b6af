#include "platform/cendrix_comm.hpp"

#include "ipconf/interface_conf.hpp"
#include "ipconf/product_record.hpp"
#include "lib/cendrix/cendrix.hpp"
#include "net/address.hpp"
#include "util/io.hpp"
#include "util/owned.hpp"
#include "util/sha1.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr int connect_attempts = 100;
constexpr unsigned retry_seconds = 3;

constexpr uint32_t config_host = 17;
constexpr uint32_t config_product = 18;
constexpr uint32_t config_primary = 6;
constexpr uint32_t class_account = 0;
constexpr uint32_t class_interface = 6;
constexpr uint32_t class_ipv4 = 26;

constexpr size_t mac_length = 17;
constexpr size_t interface_name_size = 16;
constexpr size_t address_size = 46;

cendrix_context context{};
bool session_open = false;
// The service stopped answering (or the bus went away) after the session
// opened: calls fail at once until a reconnection, tried at most once per
// reconnect_interval_ms, finds it answering again.
bool session_lost = false;
constexpr int64_t reconnect_interval_ms = 1000;
int64_t last_attempt_ms = 0;
// Whether the session's service announces changes, and whether the session
// was opened or restored since cendrix_take_changes last looked.
bool changes_announced = false;
bool session_renewed = false;

// Subscribes the session to the service's announcements and learns whether
// it makes them; false when the service or the bus could not be reached.
bool watch_changes()
{
    const int result = cendrix_watch_changes(&context);
    changes_announced = result == 1;
    return result >= 0;
}

// The result of a library call; one that found the service unreachable
// marks the open session lost, so that the rest of the request is not tried.
int checked(int result)
{
    if (result != 0 && session_open && !session_lost && cendrix_unreachable(errno)) {
        syslog(LOG_WARNING, "Connection to Cendrix Dbus service lost");
        cendrix_close(&context);
        session_lost = true;
        last_attempt_ms = monotonic_ms();
    }
    return result;
}

// True when calls may be made: the session is open and not lost, or it was
// lost and a reconnection has just succeeded.
bool available()
{
    if (!session_open)
        return false;
    if (!session_lost)
        return true;
    if (monotonic_ms() - last_attempt_ms < reconnect_interval_ms)
        return false;
    const bool answered =
        cendrix_init(&context) == 0 && cendrix_get_config(&context, config_host) == 0 && watch_changes();
    last_attempt_ms = monotonic_ms();
    if (!answered) {
        cendrix_close(&context);
        return false;
    }
    session_lost = false;
    session_renewed = true;
    syslog(LOG_INFO, "Connection to Cendrix Dbus service restored");
    return true;
}
const volatile sig_atomic_t *run_flag = nullptr;

void real_sleep(unsigned seconds)
{
    // A stop signal ends the wait early; the next attempt then sees the flag at 0.
    sleep(seconds);
}

void (*retry_sleep)(unsigned) = real_sleep;

using owned_text = malloc_ptr<char>;

owned_text property_text(const char *key)
{
    return owned_text(cendrix_get_property_string(&context, key));
}

// Copies a text property into a buffer: an absent one gives the empty text;
// one too long for the buffer gives -1 and leaves the buffer as it was.
int copy_property(const char *key, char *buffer, size_t size)
{
    const owned_text text = property_text(key);
    if (!text) {
        buffer[0] = '\0';
        return 0;
    }
    const size_t length = std::strlen(text.get());
    if (length >= size)
        return -1;
    std::memcpy(buffer, text.get(), length + 1);
    return 0;
}

// Retries `attempt` while the daemon runs; the warning is logged per failure,
// the error once all attempts failed.
bool keep_trying(bool (*attempt)(), const char *warning, const char *error)
{
    for (int tries = 0; tries < connect_attempts; ++tries) {
        if (run_flag != nullptr && *run_flag == 0)
            return false;
        if (attempt())
            return true;
        syslog(LOG_WARNING, "%s", warning);
        retry_sleep(retry_seconds);
    }
    syslog(LOG_ERR, "%s", error);
    return false;
}

bool connect_bus()
{
    return cendrix_init(&context) == 0;
}

bool probe_service()
{
    return checked(cendrix_get_config(&context, config_host)) == 0 && watch_changes();
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The resource of class 6 whose "mac" is the text, as given, in lower case
// or in upper case.
bool find_interface_by_mac(const char *mac)
{
    char variant[mac_length + 1];
    std::memcpy(variant, mac, sizeof variant);
    for (void (*convert)(char *) : {static_cast<void (*)(char *)>(nullptr), string_to_lower, string_to_upper}) {
        if (convert != nullptr)
            convert(variant);
        cendrix_reset(&context);
        cendrix_set_property_string(&context, "mac", variant);
        if (checked(cendrix_find_resource(&context, class_interface)) == 0)
            return true;
    }
    return false;
}

bool find_interface_by_name(const char *name)
{
    cendrix_reset(&context);
    cendrix_set_property_string(&context, "name", name);
    return checked(cendrix_find_resource(&context, class_interface)) == 0;
}

// Moves from the interface held in the context to its IPv4 configuration,
// whose id is written out.
bool find_ipv4_config(uint32_t &config_id)
{
    if (cendrix_get_property_uint32(&context, "ip_config_id", &config_id) != 0 || config_id == 0)
        return false;
    cendrix_reset(&context);
    cendrix_set_property_uint32(&context, "id", config_id);
    return checked(cendrix_find_resource(&context, class_ipv4)) == 0;
}

int link_state_of(int32_t link_up)
{
    return link_up == 0 ? LINK_DOWN : link_up == 1 ? LINK_UP : LINK_STATE_NOT_SET;
}

int ipv4_mode_of(const uint32_t *mode)
{
    // The service's "mode" is 1 for a static address and 0 for DHCP.
    if (mode == nullptr)
        return IPV4_MODE_NOT_SET;
    return *mode == 0 ? IPV4_DHCP : *mode == 1 ? IPV4_STATIC : IPV4_MODE_NOT_SET;
}

} // namespace

int cendrix_open_session()
{
    if (session_open)
        return -1;
    if (!keep_trying(connect_bus, "Connection to Dbus system bus failed, retrying",
                     "Connection to Dbus system bus failed"))
        return -1;
    if (!keep_trying(probe_service, "Connection to Cendrix Dbus service failed, retrying",
                     "Connection to Cendrix Dbus service failed")) {
        cendrix_close(&context);
        return -1;
    }
    session_open = true;
    session_renewed = true;
    return 0;
}

int cendrix_close_session()
{
    if (!session_open)
        return -1;
    cendrix_close(&context);
    session_open = false;
    session_lost = false;
    changes_announced = false;
    return 0;
}

void cendrix_set_run_flag(const volatile sig_atomic_t *run)
{
    run_flag = run;
}

void cendrix_set_retry_sleep(void (*sleeper)(unsigned seconds))
{
    retry_sleep = sleeper == nullptr ? real_sleep : sleeper;
}

int cendrix_get_password_sha1(const char *login, uint8_t *hash)
{
    if (!available())
        return -1;
    cendrix_reset(&context);
    cendrix_set_property_string(&context, "login", login);
    if (checked(cendrix_find_resource(&context, class_account)) != 0)
        return -1;
    const owned_text text = property_text("password_sha1");
    if (!text || std::strlen(text.get()) < 2 * SHA1_DIGEST_SIZE)
        return -1;
    uint8_t bytes[SHA1_DIGEST_SIZE];
    for (size_t index = 0; index < SHA1_DIGEST_SIZE; ++index) {
        const int high = hex_value(text.get()[2 * index]);
        const int low = hex_value(text.get()[2 * index + 1]);
        if (high < 0 || low < 0)
            return -1;
        bytes[index] = static_cast<uint8_t>(high << 4 | low);
    }
    std::memcpy(hash, bytes, sizeof bytes);
    return 0;
}

int cendrix_set_hostname(const char *host_name)
{
    if (std::strlen(host_name) > PRODUCT_TEXT_SIZE - 1 || !available())
        return -1;
    cendrix_reset(&context);
    cendrix_set_property_string(&context, "hostname", host_name);
    return checked(cendrix_set_config(&context, config_host)) == 0 ? 0 : -1;
}

int cendrix_get_product_info(product_info *record)
{
    if (!available())
        return -1;
    cendrix_reset(&context);
    if (checked(cendrix_get_config(&context, config_host)) != 0 ||
        copy_property("hostname", record->host_name, PRODUCT_TEXT_SIZE) != 0)
        return -1;
    cendrix_reset(&context);
    if (checked(cendrix_get_config(&context, config_product)) != 0)
        return -1;
    const struct {
        const char *key;
        char *buffer;
        size_t size;
    } fields[] = {
        {"product_name", record->product_name, PRODUCT_TEXT_SIZE},
        {"product_id", record->product_id, PRODUCT_TEXT_SIZE},
        {"hardware_id", record->hardware_id, PRODUCT_TEXT_SIZE},
        {"hardware_revision", record->hardware_revision, PRODUCT_SHORT_SIZE},
        {"software_version", record->system_version, PRODUCT_SHORT_SIZE},
    };
    for (const auto &field : fields) {
        if (copy_property(field.key, field.buffer, field.size) != 0)
            return -1;
    }
    return 0;
}

int cendrix_get_interface_name(const char *mac, char *name)
{
    if (std::strlen(mac) != mac_length || !available())
        return -1;
    if (!find_interface_by_mac(mac))
        return -1;
    return copy_property("name", name, interface_name_size);
}

int cendrix_get_interface_conf(const char *name, interface_conf *conf)
{
    if (!available())
        return -1;
    if (!find_interface_by_name(name))
        return -1;
    if (const owned_text mac = property_text("mac"); !mac) {
        conf->mac[0] = '\0';
    } else {
        if (std::strlen(mac.get()) != mac_length)
            return -1;
        std::memcpy(conf->mac, mac.get(), mac_length + 1);
        string_to_upper(conf->mac);
    }
    int32_t link_up = 0;
    if (cendrix_get_property_boolean(&context, "link_up", &link_up) != 0)
        return -1;
    conf->link_state = link_state_of(link_up);
    conf->role = 0;

    uint32_t config_id = 0;
    if (!find_ipv4_config(config_id))
        return -1;
    uint32_t mode = 0;
    conf->ipv4_mode = ipv4_mode_of(cendrix_get_property_uint32(&context, "mode", &mode) == 0 ? &mode : nullptr);
    if (copy_property("ipv4", conf->ipv4, address_size) != 0 ||
        copy_property("netmask", conf->netmask, address_size) != 0 ||
        copy_property("gateway", conf->gateway, address_size) != 0)
        return -1;
    std::strcpy(conf->broadcast, "0.0.0.0");

    // Only the first of the service's DNS servers fits the record.
    if (const owned_text servers = property_text("dns_servers"); !servers) {
        conf->dns[0] = '\0';
    } else {
        const size_t length = std::strcspn(servers.get(), ",");
        if (length >= address_size)
            return -1;
        std::memcpy(conf->dns, servers.get(), length);
        conf->dns[length] = '\0';
    }
    return copy_property("wins", conf->wins, address_size);
}

int cendrix_set_interface_conf(const char *name, const interface_conf *conf)
{
    if (!available())
        return -1;
    uint32_t config_id = 0;
    if (!find_interface_by_name(name) || !find_ipv4_config(config_id))
        return -1;
    if (conf->ipv4_mode == IPV4_STATIC)
        cendrix_set_property_uint32(&context, "mode", 1);
    else if (conf->ipv4_mode == IPV4_DHCP)
        cendrix_set_property_uint32(&context, "mode", 0);
    const struct {
        const char *key;
        const char *value;
    } fields[] = {
        {"ipv4", conf->ipv4},       {"netmask", conf->netmask}, {"gateway", conf->gateway},
        {"dns_servers", conf->dns}, {"wins", conf->wins},
    };
    for (const auto &field : fields) {
        if (field.value == nullptr)
            continue;
        if (std::strlen(field.value) > address_size - 1)
            return -1;
        cendrix_set_property_string(&context, field.key, field.value);
    }
    return checked(cendrix_set_resource(&context, class_ipv4, config_id)) == 0 ? 0 : -1;
}

char *cendrix_get_primary_interface_name()
{
    if (!available())
        return nullptr;
    cendrix_reset(&context);
    uint32_t interface_id = 0;
    if (checked(cendrix_get_config(&context, config_primary)) != 0 ||
        cendrix_get_property_uint32(&context, "primary_interface_id", &interface_id) != 0)
        return nullptr;
    cendrix_reset(&context);
    cendrix_set_property_uint32(&context, "id", interface_id);
    if (checked(cendrix_find_resource(&context, class_interface)) != 0)
        return nullptr;
    owned_text name = property_text("name");
    if (!name || std::strlen(name.get()) > interface_name_size - 1)
        return nullptr;
    return name.release();
}

bool cendrix_changes_announced()
{
    return session_open && !session_lost && changes_announced;
}

int cendrix_changes_fd()
{
    return session_open && !session_lost ? cendrix_get_fd(&context) : -1;
}

int cendrix_take_changes()
{
    if (!available())
        return -1;
    const int result = cendrix_process_changes(&context);
    if (result < 0)
        return checked(result);
    // Another process now holds the service's name: ask it anew.
    if (result == 2 && !watch_changes())
        return checked(-1);
    const bool changed = result != 0 || session_renewed;
    session_renewed = false;
    return changed ? 1 : 0;
}
