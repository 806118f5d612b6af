// A device as its INFO reply describes it, kept as a JSON object (the same
// record feeds --json and the human table), and the list of devices that
// discover shows: one entry per PUID, the latest reply winning.
#pragma once

#include "tools/orvanectl/output.hpp"
#include "tools/orvanectl/port.hpp"

#include <cstdio>

namespace ctl {

// INFO datagram into
//   {"puid", "mode", "host_name", "product_name", "product_id", "hardware_id",
//    "hardware_revision", "software_version", "protocol", "address",
//    "interfaces": [{"name", "mac", "link", "ipv4_method", "address",
//                    "netmask", "gateway", "broadcast", "dns", "wins"}]}
// with null for what the device did not send. False for a malformed INFO.
[[nodiscard]] bool decode_info(const datagram &info, json &device);

class device_list {
public:
    // Adds the device, or replaces the entry with the same PUID (or, without
    // a PUID, the same sender address) in place.
    void add(json device);
    [[nodiscard]] const json &all() const { return devices_; }

private:
    json devices_ = json::array();
};

// One row per device and one indented line per interface.
void print_devices(FILE *stream, const json &devices);

} // namespace ctl
