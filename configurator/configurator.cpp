#include "configurator/configurator.hpp"

#include "ipconf/auth_msg.hpp"
#include "ipconf/elements.hpp"
#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "util/sha1.hpp"
#include "util/tlv.hpp"
#include "util/tlv_ez.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>

namespace configurator {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds challenge_wait{5000};

struct malloc_free {
    void operator()(void *p) const { std::free(p); }
};

// A finished message from a builder as bytes; empty for null.
std::vector<uint8_t> take(uint8_t *message)
{
    std::unique_ptr<uint8_t, malloc_free> owned(message);
    if (!owned)
        return {};
    return {owned.get(), owned.get() + tlv_get_size(owned.get())};
}

std::optional<std::string> optional_text(const char *value)
{
    if (!value)
        return std::nullopt;
    return std::string(element_text(value));
}

// Waits for messages until the deadline, reporting progress about once a
// second; `handle` returns true when the wait is over.
template <class Handle>
wait wait_for(link &segments, const search &where, const std::string &awaited, clock::time_point deadline,
              Handle handle)
{
    datagram got;
    clock::time_point next_report = clock::now();
    for (;;) {
        clock::time_point until = deadline;
        if (where.progress) {
            if (clock::now() >= next_report) {
                where.progress(awaited, std::chrono::duration_cast<milliseconds>(deadline - clock::now()));
                next_report = clock::now() + milliseconds(1000);
            }
            until = std::min(deadline, next_report);
        }
        const wait result = segments.receive(until, got);
        if (result == wait::deadline && until < deadline)
            continue;
        if (result != wait::message)
            return result;
        if (handle(got))
            return wait::message;
    }
}

// A reply is for us when it names the address we have on the interface it
// came on ("0.0.0.0" in raw mode, as the device saw our frames).
bool for_us(const link &segments, const datagram &got, const char *address)
{
    const endpoint *point = segments.find(got.interface);
    return point && address && element_text(address) == point->address;
}

template <class Result>
bool open_link(link &segments, const search &where, Result &result)
{
    const bool opened = segments.open({.interfaces = where.interfaces, .raw = where.raw, .cancel = where.cancel});
    result.notes = segments.notes();
    if (!opened)
        result.error = segments.error();
    return opened;
}

template <class Result>
void finish_wait(wait how, const link &segments, Result &result)
{
    if (how == wait::cancelled)
        result.result = outcome::cancelled;
    if (how == wait::failed) {
        result.result = outcome::failed;
        result.error = segments.error();
    }
}

find_result find_devices(const search &where)
{
    find_result result;
    link segments;
    if (!open_link(segments, where, result))
        return result;
    if (!segments.broadcast(take(ipconf_msg_build_look()))) {
        result.error = segments.error();
        return result;
    }
    std::map<std::string, device> by_puid;
    std::map<std::string, device> by_address; // replies without a PUID
    const wait how = wait_for(segments, where, "replies", clock::now() + where.timeout, [&](const datagram &got) {
        device found;
        if (got.type != "INFO"_tlv || !decode_info(got, found))
            return false;
        auto &known = found.puid ? by_puid : by_address;
        const std::string key = found.puid ? *found.puid : found.address;
        auto it = known.find(key);
        if (it != known.end())
            found.interface = it->second.interface;
        known[key] = std::move(found);
        return false;
    });
    if (how == wait::cancelled || how == wait::failed) {
        finish_wait(how, segments, result);
        return result;
    }
    for (auto *known : {&by_puid, &by_address})
        for (auto &entry : *known)
            result.devices.push_back(std::move(entry.second));
    result.result = outcome::ok;
    return result;
}

configure_result configure_device(const configuration &request, const search &where)
{
    configure_result result;
    link segments;
    if (!open_link(segments, where, result))
        return result;
    if (!segments.broadcast(take(auth_msg_build_challenge_request(request.puid.c_str())))) {
        result.error = segments.error();
        return result;
    }

    // An ERROR for us ends the exchange at any point.
    auto error_for_us = [&](const datagram &got) {
        std::vector<uint8_t> copy(got.data.begin(), got.data.begin() + static_cast<long>(got.size));
        char *puid = nullptr, *address = nullptr, *text = nullptr;
        if (got.type != "ERR"_tlv || ipconf_msg_parse_error(copy.data(), copy.size(), &puid, &address, &text) != 0 ||
            !puid || element_text(puid) != request.puid || !for_us(segments, got, address) ||
            (!result.interface.empty() && got.interface != result.interface))
            return false;
        result.interface = got.interface;
        result.device_error = element_text(text);
        result.result = outcome::refused;
        return true;
    };

    std::vector<uint8_t> challenge;
    wait how = wait_for(segments, where, "the challenge from " + request.puid,
                        clock::now() + std::min(challenge_wait, where.timeout), [&](const datagram &got) {
                            if (error_for_us(got))
                                return true;
                            std::vector<uint8_t> copy(got.data.begin(), got.data.begin() + static_cast<long>(got.size));
                            uint8_t *cursor = copy.data(), *value = nullptr;
                            size_t avail = copy.size(), length = 0;
                            char *puid = nullptr, *address = nullptr;
                            if (got.type != "CHAL"_tlv ||
                                auth_msg_parse_challenge(&cursor, &avail, &value, &length, &puid, &address) != 0 ||
                                length == 0 || element_text(puid) != request.puid || !for_us(segments, got, address))
                                return false;
                            challenge.assign(value, value + length);
                            result.interface = got.interface;
                            return true;
                        });
    if (how != wait::message) {
        finish_wait(how, segments, result);
        if (how == wait::deadline) {
            result.result = outcome::timeout;
            result.error = "no challenge from " + request.puid +
                           " (is the PUID right and the device on a segment "
                           "of this host?)";
        }
        return result;
    }
    if (result.result == outcome::refused)
        return result;

    const std::vector<uint8_t> conf = build_conf(request, challenge);
    if (conf.empty()) {
        result.error = "cannot build the configuration request";
        return result;
    }
    if (!segments.broadcast(conf, result.interface)) {
        result.error = segments.error();
        return result;
    }
    result.conf_sent = true;
    how = wait_for(segments, where, "the answer of " + request.puid, clock::now() + where.timeout,
                   [&](const datagram &got) {
                       if (error_for_us(got))
                           return true;
                       std::vector<uint8_t> copy(got.data.begin(), got.data.begin() + static_cast<long>(got.size));
                       char *puid = nullptr, *address = nullptr;
                       if (got.type != "OK"_tlv || got.interface != result.interface ||
                           ipconf_msg_parse_ok(copy.data(), copy.size(), &puid, &address) != 0 || !puid ||
                           element_text(puid) != request.puid || (address && !for_us(segments, got, address)))
                           return false;
                       result.result = outcome::ok;
                       return true;
                   });
    if (how != wait::message) {
        finish_wait(how, segments, result);
        if (how == wait::deadline) {
            result.result = outcome::timeout;
            result.error = "no OK or ERROR from " + request.puid + " within " +
                           std::to_string(where.timeout.count() / 1000) + " s";
        }
    }
    return result;
}

watch_result watch_segments(const search &where, const std::function<bool(const datagram &)> &on_message)
{
    watch_result result;
    link segments;
    if (!open_link(segments, where, result))
        return result;
    // Without a time-out: far beyond any session, until cancelled.
    const clock::time_point deadline =
        clock::now() + (where.timeout.count() > 0 ? where.timeout : milliseconds(std::chrono::hours(24 * 365)));
    search quiet = where;
    quiet.progress = nullptr;
    const wait how = wait_for(segments, quiet, "", deadline, [&](const datagram &got) { return !on_message(got); });
    result.result = outcome::ok;
    finish_wait(how, segments, result);
    return result;
}

// The public calls catch what the standard library may throw (memory).
template <class Result, class Call>
Result guarded(Call call)
{
    try {
        return call();
    } catch (const std::exception &e) {
        Result failed;
        failed.error = e.what();
        return failed;
    }
}

} // namespace

bool decode_info(const datagram &info, device &out)
{
    // The parsers take a writable cursor; they only read through it.
    std::vector<uint8_t> bytes(info.data.begin(), info.data.begin() + static_cast<long>(info.size));
    uint8_t *cursor = bytes.data();
    size_t avail = bytes.size();
    // The parser writes mode and protocol only when STAT and PROT came.
    constexpr uint32_t no_mode = 0xFFFFFFFF;
    constexpr uint8_t no_protocol = 0xFF;
    product_info head{};
    head.mode = no_mode;
    uint8_t protocol = no_protocol;
    if (ipconf_msg_parse_info(&cursor, &avail, &head, &protocol) != 0)
        return false;
    out = device{};
    out.puid = optional_text(head.puid);
    if (head.mode != no_mode)
        out.mode = head.mode;
    out.host_name = optional_text(head.host_name);
    out.product_name = optional_text(head.product_name);
    out.product_id = optional_text(head.product_id);
    out.hardware_id = optional_text(head.hardware_id);
    out.hardware_revision = optional_text(head.hardware_revision);
    out.software_version = optional_text(head.system_version);
    if (protocol != no_protocol)
        out.protocol = protocol;
    out.address = info.sender;
    out.interface = info.interface;
    while (avail != 0) {
        interface_conf conf{};
        if (ipconf_msg_parse_get_interface_from_info(&cursor, &avail, &conf) != 0)
            return false;
        device_interface entry;
        entry.name = optional_text(conf.name);
        entry.mac = optional_text(conf.mac);
        if (conf.link_state != LINK_STATE_NOT_SET)
            entry.link_state = conf.link_state;
        if (conf.ipv4_mode != IPV4_MODE_NOT_SET)
            entry.ipv4_method = conf.ipv4_mode;
        entry.address = optional_text(conf.ipv4);
        entry.netmask = optional_text(conf.netmask);
        entry.gateway = optional_text(conf.gateway);
        entry.broadcast = optional_text(conf.broadcast);
        entry.dns = optional_text(conf.dns);
        entry.wins = optional_text(conf.wins);
        out.interfaces.push_back(std::move(entry));
    }
    return true;
}

std::array<uint8_t, 20> password_hash(std::string_view password)
{
    std::array<uint8_t, 20> hash{};
    std::unique_ptr<uint8_t, malloc_free> digest(sha1_hash(password.data(), password.size()));
    if (digest) {
        std::memcpy(hash.data(), digest.get(), hash.size());
        explicit_bzero(digest.get(), hash.size());
    }
    return hash;
}

std::vector<uint8_t> build_conf(const configuration &request, std::span<const uint8_t> challenge)
{
    auto text = [](const std::string &value) { return value.empty() ? nullptr : const_cast<char *>(value.c_str()); };
    tlv_writer *writer = ipconf_msg_open_conf(text(request.puid), text(request.user), request.password_hash.data(),
                                              challenge.data(), challenge.size());
    if (writer)
        writer = ipconf_msg_set_conf_hostname(writer, text(request.host_name));
    for (const auto &entry : request.interfaces) {
        if (!writer)
            break;
        interface_conf conf{nullptr,           text(entry.mac),     INTERFACE_ROLE_NOT_SET, LINK_STATE_NOT_SET,
                            entry.ipv4_method, text(entry.address), text(entry.netmask),    text(entry.gateway),
                            nullptr,           text(entry.dns),     text(entry.wins)};
        writer = ipconf_msg_add_interface_to_conf(writer, &conf);
    }
    return writer ? take(tlv_close_all(&writer)) : std::vector<uint8_t>{};
}

find_result find(const search &where)
{
    return guarded<find_result>([&] { return find_devices(where); });
}

configure_result configure(const configuration &request, const search &where)
{
    return guarded<configure_result>([&] { return configure_device(request, where); });
}

watch_result watch(const search &where, const std::function<bool(const datagram &)> &on_message)
{
    return guarded<watch_result>([&] { return watch_segments(where, on_message); });
}

} // namespace configurator
