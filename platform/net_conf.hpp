// The device's interfaces as the kernel lists them (those holding an IPv4
// address, "lo" left out), each described by the configuration service, one
// record at a time; and one requested interface configuration applied through
// the service, which alone maps its MAC address to an interface.
// One walk at a time: the state and the record handed out are process-wide.
// Reporting: open logs its failures to syslog at LOG_ERR, after the perror
// line of the ioctl layer below; next and set fail silently (-1) and their
// callers log.
#pragma once

struct interface_conf;

// 0 with the kernel's list read; -1 (and the walk closed again).
[[nodiscard]] int interface_conf_list_open();

// 0 with *conf pointing at the next interface's record (valid until the next
// call), or at null at the end of the list; -1 with *conf null when the
// service cannot describe the entry, which is used up either way.
[[nodiscard]] int interface_conf_list_next(interface_conf **conf);

// Releases the list; accepts a walk never opened. The ioctl socket stays
// open for the next walk (it is closed when the process exits).
void interface_conf_list_close();

// 0 when the service stored the request (a view record: null texts absent);
// -1 for a MAC text not of 17 characters, a MAC the service does not know,
// an address or netmask with the dynamic method (2), or a refused store.
[[nodiscard]] int interface_conf_set(const interface_conf *conf);
