// An in-memory stand-in for the configuration service's client library,
// linked instead of lib/cendrix by the test of platform/cendrix_comm. The
// test fills the service's objects, scripts failures of the first calls and
// reads back the calls made.
#pragma once

#include "lib/cendrix/property_map.hpp"

#include <map>
#include <string>
#include <vector>

namespace cendrix_fake {

using cendrix_wire::property_map;

struct service {
    int init_failures = 0;        // cendrix_init fails this many times first
    int get_config_failures = 0;  // cendrix_get_config fails this many times first
    std::map<uint32_t, property_map> configurations;
    std::map<uint32_t, std::vector<property_map>> resources;
    // One line per call that reached the service: "get_config 17",
    // "find 6 mac=02:aa:...", "set_resource 26 10 ipv4=...".
    std::vector<std::string> calls;
    int close_calls = 0;
};

// The one service the fake library talks to.
extern service state;

// Lines of the calls made, in order, of one kind ("find", "set_config", ...).
std::vector<std::string> calls_of(const std::string &kind);

}  // namespace cendrix_fake
