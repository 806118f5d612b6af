// Back end of the ipconf server: the one pending configuration request, with
// its 40-second one-shot timer (SIGALRM) and the check whether the service now
// applies it; and the device-side helpers: PUID derivation and check, INFO
// building, handing requested interfaces to the configuration service.
// Reporting: failures are logged to syslog at LOG_ERR here (the layers below
// print their own perror line or fail silently). Messages returned are malloc'd and
// freed by the caller; messages given are only read, over the given size.
#pragma once

#include <cstddef>
#include <cstdint>

// Arms the process's real-time timer one-shot (0 disarms); setitimer's result.
int set_timeout(int seconds);

// 0, or -1 when the interface list cannot be created.
[[nodiscard]] int ipconf_open_pending_conf();
// Releases what open made; safe when it never happened. The timer is left alone.
void ipconf_close_pending_conf();

// Stores the CONF (size bytes received, already capped at its declared size)
// as the pending request from the configurator at address and arms the timer.
// 0, or -1 with nothing of the request kept.
[[nodiscard]] int ipconf_set_pending_conf(uint8_t *message, size_t size, const char *address);
// Forgets the pending request and disarms the timer; set_timeout(0)'s result.
int ipconf_clear_pending_conf();
[[nodiscard]] int ipconf_has_pending_conf();
// Waits one second, then compares every requested field with what the
// configuration service reports: 1 when all match, 0 otherwise or on failure.
[[nodiscard]] int ipconf_is_pending_conf_applied();
[[nodiscard]] const char *ipconf_get_configurator_address();

// Hands each interface entry left after the CONF head (cursor and byte count
// as ipconf_msg_parse_conf leaves them) to the configuration service, in
// order. 0, or non-zero at the first entry refused.
[[nodiscard]] int ipconf_set_interfaces(uint8_t *cursor, size_t avail);

// Whether a CONF asks only for values a device can take. A host name of
// letters, digits, '-' and '.'.
[[nodiscard]] bool ipconf_host_name_valid(const char *host_name);
// In every interface entry, addresses that are empty or dotted IPv4. Reads
// the entries without consuming them; an entry that does not parse is left
// to ipconf_set_interfaces to refuse.
[[nodiscard]] bool ipconf_interfaces_valid(uint8_t *cursor, size_t avail);

// Sets the store's PUID from the MAC of the named interface, or without a
// name of the link if_device_mac_get chooses (with or without an address).
// 0 or -1.
[[nodiscard]] int ipconf_retrieve_puid(const char *interface);

// 0 when the message's PUID is exactly the device's, non-zero otherwise.
[[nodiscard]] int ipconf_check_puid(uint8_t *message, size_t size);

// A new INFO for the device with one INTF per enumerated interface; null.
[[nodiscard]] uint8_t *ipconf_build_info(uint8_t protocol);
