#include "configurator/configurator.hpp"

#include "ipconf/auth_msg.hpp"
#include "ipconf/elements.hpp"
#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "util/sha1.hpp"
#include "util/tlv.hpp"
#include "util/tlv_ez.hpp"

#include <strings.h>

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
// How long a configure listens for a second host answering as the PUID once
// the first has, and for the device's report after its OK.
constexpr milliseconds claim_wait{250};
constexpr milliseconds verify_wait{3000};

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

// Adds a host to those that answer as one PUID; false when the list is full.
bool add_claimant(std::vector<std::string> &hosts, const std::string &address)
{
    if (std::find(hosts.begin(), hosts.end(), address) != hosts.end())
        return true;
    if (hosts.size() >= max_claimants)
        return false;
    hosts.push_back(address);
    return true;
}

std::string joined(const std::vector<std::string> &texts, const char *separator)
{
    std::string out;
    for (const auto &text : texts)
        out += (out.empty() ? "" : separator) + text;
    return out;
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
        if (it == known.end()) {
            if (by_puid.size() + by_address.size() < max_devices)
                known.emplace(key, std::move(found));
            else
                ++result.dropped;
            return false;
        }
        device &kept = it->second;
        found.interface = kept.interface;
        found.claimed_by = std::move(kept.claimed_by);
        if (found.claimed_by.empty() && kept.address != found.address)
            found.claimed_by.push_back(kept.address);
        if (!found.claimed_by.empty() && !add_claimant(found.claimed_by, found.address))
            ++result.dropped;
        kept = std::move(found);
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

// The PUID of an INFO, when the datagram is one that parses.
std::optional<std::string> info_puid(const datagram &got)
{
    device found;
    if (got.type != "INFO"_tlv || !decode_info(got, found))
        return std::nullopt;
    return found.puid;
}

// After an OK: one more LOOK, and the first INFO from the PUID compared with
// the request. The device may answer from a new address by then.
void verify(const configuration &request, link &segments, const search &where, configure_result &result)
{
    if (!segments.broadcast(take(ipconf_msg_build_look()))) {
        result.result = outcome::failed;
        result.error = segments.error();
        return;
    }
    std::optional<device> reported;
    const wait how = wait_for(segments, where, "the report of " + request.puid, clock::now() + verify_wait,
                              [&](const datagram &got) {
                                  device found;
                                  if (got.type != "INFO"_tlv || !decode_info(got, found) || found.puid != request.puid)
                                      return false;
                                  reported = std::move(found);
                                  return true;
                              });
    if (how == wait::cancelled || how == wait::failed) {
        finish_wait(how, segments, result);
        return;
    }
    if (!reported) {
        result.result = outcome::no_evidence;
        result.error = "the device answered OK but does not answer a LOOK afterwards: no evidence that the "
                       "configuration is in force";
        return;
    }
    const std::vector<std::string> differ = differences(request, *reported, result.unverified);
    if (!differ.empty()) {
        result.result = outcome::not_in_force;
        result.error = "the device answered OK but still reports " + joined(differ, "; ");
    }
}

configure_result configure_device(const configuration &request, const search &where)
{
    configure_result result;
    link segments;
    if (!open_link(segments, where, result))
        return result;
    // The LOOK tells who answers as the PUID: the challenge is answered only
    // when it comes from that host, and from no other.
    if (!segments.broadcast(take(ipconf_msg_build_look())) ||
        !segments.broadcast(take(auth_msg_build_challenge_request(request.puid.c_str())))) {
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

    std::vector<std::string> answering, challenging; // hosts, by their replies to the LOOK and to the CHRQ
    std::vector<uint8_t> challenge;
    std::string challenger;
    bool full = false;
    auto conflict = [&] { return full || answering.size() > 1 || challenging.size() > 1; };
    auto settled = [&] {
        return !challenger.empty() && std::find(answering.begin(), answering.end(), challenger) != answering.end();
    };
    auto take_reply = [&](const datagram &got) {
        if (error_for_us(got))
            return true;
        if (info_puid(got) == request.puid) {
            full = full || !add_claimant(answering, got.sender);
            return conflict();
        }
        std::vector<uint8_t> copy(got.data.begin(), got.data.begin() + static_cast<long>(got.size));
        uint8_t *cursor = copy.data(), *value = nullptr;
        size_t avail = copy.size(), length = 0;
        char *puid = nullptr, *address = nullptr;
        if (got.type != "CHAL"_tlv ||
            auth_msg_parse_challenge(&cursor, &avail, &value, &length, &puid, &address) != 0 || length == 0 ||
            element_text(puid) != request.puid || !for_us(segments, got, address))
            return false;
        full = full || !add_claimant(challenging, got.sender);
        if (challenge.empty()) {
            challenge.assign(value, value + length);
            challenger = got.sender;
            result.interface = got.interface;
        }
        return conflict();
    };
    const clock::time_point challenge_deadline = clock::now() + std::min(challenge_wait, where.timeout);
    const std::string awaited = "the challenge from " + request.puid;
    wait how = wait_for(segments, where, awaited, challenge_deadline,
                        [&](const datagram &got) { return take_reply(got) || settled(); });
    // A second host answering as the PUID shows within moments of the first.
    if (how == wait::message && result.result != outcome::refused && !conflict())
        how = wait_for(segments, where, awaited, std::min(challenge_deadline, clock::now() + claim_wait), take_reply);
    if (how == wait::cancelled || how == wait::failed) {
        finish_wait(how, segments, result);
        return result;
    }
    if (result.result == outcome::refused)
        return result;
    if (conflict()) {
        std::vector<std::string> hosts = answering;
        for (const auto &host : challenging)
            (void)add_claimant(hosts, host);
        result.result = outcome::conflict;
        result.error = "more than one host answers as " + request.puid + " (" + joined(hosts, ", ") +
                       "): nothing was sent; find out which one is the device";
        return result;
    }
    if (challenge.empty()) {
        result.result = outcome::timeout;
        result.error =
            "no challenge from " + request.puid + " (is the PUID right and the device on a segment of this host?)";
        return result;
    }
    if (!settled()) {
        result.result = outcome::no_evidence;
        result.error = "the challenge came from " + challenger + ", which does not answer a LOOK as " + request.puid +
                       ": not answered, no evidence that it is the device";
        return result;
    }

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
        return result;
    }
    if (result.result == outcome::ok)
        verify(request, segments, where, result);
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

std::vector<std::string> differences(const configuration &asked, const device &reported,
                                     std::vector<std::string> &unlisted)
{
    std::vector<std::string> found;
    auto quoted = [](const std::optional<std::string> &text) { return text ? "\"" + *text + "\"" : "nothing"; };
    auto compare = [&](const std::string &what, const std::optional<std::string> &has, const std::string &wanted) {
        if (!wanted.empty() && has != wanted)
            found.push_back(what + " " + quoted(has) + " (asked: \"" + wanted + "\")");
    };
    compare("host name", reported.host_name, asked.host_name);
    auto method = [](std::optional<int> mode) -> std::optional<std::string> {
        if (!mode)
            return std::nullopt;
        return *mode == IPV4_STATIC ? "static" : *mode == IPV4_DHCP ? "dhcp" : "method " + std::to_string(*mode);
    };
    for (const interface_setting &setting : asked.interfaces) {
        auto same_mac = [&](const device_interface &conf) {
            return conf.mac && strcasecmp(conf.mac->c_str(), setting.mac.c_str()) == 0;
        };
        const auto listed = std::find_if(reported.interfaces.begin(), reported.interfaces.end(), same_mac);
        const std::string name = "interface " + setting.mac;
        if (listed == reported.interfaces.end()) {
            unlisted.push_back(name + " is not listed by the device (it lists only interfaces with an address)");
            continue;
        }
        if (setting.ipv4_method != IPV4_MODE_NOT_SET)
            compare(name + " method", method(listed->ipv4_method), *method(setting.ipv4_method));
        compare(name + " address", listed->address, setting.address);
        compare(name + " netmask", listed->netmask, setting.netmask);
        compare(name + " gateway", listed->gateway, setting.gateway);
        compare(name + " DNS", listed->dns, setting.dns);
        compare(name + " WINS", listed->wins, setting.wins);
    }
    return found;
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
