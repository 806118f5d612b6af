// A device as its INFO reply describes it, in orvanectl's three outputs: the
// JSON record (which also feeds the other two), the human table and the
// --parsable records.
#pragma once

#include "configurator/configurator.hpp"
#include "tools/orvanectl/output.hpp"

#include <cstdio>

namespace ctl {

// {"puid", "mode", "host_name", "product_name", "product_id", "hardware_id",
//  "hardware_revision", "software_version", "protocol", "address", "interface",
//  "interfaces": [{"name", "mac", "link", "ipv4_method", "address",
//                  "netmask", "gateway", "broadcast", "dns", "wins"}],
//  "claimed_by": [addresses, when more than one host answered as the PUID]}
// with null for what the device did not send.
[[nodiscard]] json device_record(const configurator::device &device);

// One row per device, one indented line per interface, and a CONFLICT line
// naming the hosts when more than one answered as the PUID.
void print_devices(FILE *stream, const json &devices);

// "device;PUID;MODE;HOST NAME;PRODUCT NAME;PRODUCT ID;HARDWARE ID;HARDWARE
// REVISION;SOFTWARE VERSION;PROTOCOL;ADDRESS;INTERFACE", then one
// "interface;PUID;NAME;MAC;LINK;IPV4 METHOD;ADDRESS;NETMASK;GATEWAY;BROADCAST;DNS;WINS"
// per interface of the device, and "conflict;PUID;ADDRESS" per host that
// answered as it, when more than one did.
void print_device_records(const json &devices);

} // namespace ctl
