#include "tools/orvanectl/radio.hpp"
#include "tools/orvanectl/decode.hpp"
#include "tools/orvanectl/device.hpp"

#include "configurator/configurator.hpp"
#include "ipconf/interface_conf.hpp"
#include "util/io.hpp"

#include <cstdio>
#include <cstring>

namespace ctl {

namespace {

// The library's error text, or why there is none: the server's stop ended
// the operation.
std::string failure_of(configurator::outcome result, const std::string &error)
{
    return result == configurator::outcome::cancelled ? "cancelled: the server is stopping" : error;
}

configurator::search search_of(const radio_scope &scope, int wait_ms)
{
    return {.interfaces = scope.interfaces, .timeout = std::chrono::milliseconds(wait_ms), .cancel = scope.stop};
}

} // namespace

bool radio_discover(const radio_scope &scope, int wait_ms, json &devices, std::string &failure)
{
    const auto found = configurator::find(search_of(scope, wait_ms));
    if (found.result != configurator::outcome::ok) {
        failure = failure_of(found.result, found.error);
        return false;
    }
    devices = json::array();
    for (const auto &device : found.devices)
        devices.push_back(device_record(device));
    return true;
}

configure_outcome radio_configure(const radio_scope &scope, const configure_order &order, std::string &password,
                                  int wait_ms, std::string &detail)
{
    configurator::configuration request{.puid = order.puid,
                                        .user = order.user,
                                        .password_hash = configurator::password_hash(password),
                                        .host_name = order.host_name};
    explicit_bzero(password.data(), password.size());
    for (const auto &entry : order.interfaces)
        request.interfaces.push_back({.mac = entry.mac,
                                      .ipv4_method = entry.method == "static" ? IPV4_STATIC
                                                     : entry.method == "dhcp" ? IPV4_DHCP
                                                                              : IPV4_MODE_NOT_SET,
                                      .address = entry.address,
                                      .netmask = entry.netmask,
                                      .gateway = entry.gateway,
                                      .dns = entry.dns,
                                      .wins = entry.wins});
    const auto done = configurator::configure(request, search_of(scope, wait_ms));
    explicit_bzero(request.password_hash.data(), request.password_hash.size());
    switch (done.result) {
    case configurator::outcome::ok:
        return configure_outcome::ok;
    case configurator::outcome::refused:
        detail = done.device_error;
        return configure_outcome::refused;
    case configurator::outcome::timeout:
        detail = done.error;
        return configure_outcome::timeout;
    default:
        detail = failure_of(done.result, done.error);
        return configure_outcome::failed;
    }
}

bool radio_watch(const radio_scope &scope, int wait_ms, std::vector<json> &seen, std::string &failure)
{
    const auto done = configurator::watch(search_of(scope, wait_ms), [&](const configurator::datagram &got) {
        seen.push_back({{"time", utc_timestamp_text()},
                        {"from", got.sender},
                        {"interface", got.interface},
                        {"message", decode_message(got.data.data(), got.data.size())}});
        return true;
    });
    failure = failure_of(done.result, done.error);
    return done.result == configurator::outcome::ok;
}

} // namespace ctl
