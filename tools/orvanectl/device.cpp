#include "tools/orvanectl/device.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace ctl {

namespace {

json text(const std::optional<std::string> &value)
{
    return value ? json(*value) : json(nullptr);
}

json interface_record(const configurator::device_interface &conf)
{
    return {
        {"name", text(conf.name)},
        {"mac", text(conf.mac)},
        {"link", conf.link_state ? link_name(*conf.link_state) : json(nullptr)},
        {"ipv4_method", conf.ipv4_method ? method_name(*conf.ipv4_method) : json(nullptr)},
        {"address", text(conf.address)},
        {"netmask", text(conf.netmask)},
        {"gateway", text(conf.gateway)},
        {"broadcast", text(conf.broadcast)},
        {"dns", text(conf.dns)},
        {"wins", text(conf.wins)},
    };
}

std::string joined(const json &first, const json &second, const char *separator)
{
    if (first.is_null() && second.is_null())
        return "-";
    if (second.is_null())
        return shown(first);
    if (first.is_null())
        return shown(second);
    return shown(first) + separator + shown(second);
}

} // namespace

json device_record(const configurator::device &device)
{
    json record = {
        {"puid", text(device.puid)},
        {"mode", device.mode ? json(mode_name(*device.mode)) : json(nullptr)},
        {"host_name", text(device.host_name)},
        {"product_name", text(device.product_name)},
        {"product_id", text(device.product_id)},
        {"hardware_id", text(device.hardware_id)},
        {"hardware_revision", text(device.hardware_revision)},
        {"software_version", text(device.software_version)},
        {"protocol", device.protocol ? json(*device.protocol) : json(nullptr)},
        {"address", device.address},
        {"interface", device.interface},
        {"interfaces", json::array()},
        {"claimed_by", device.claimed_by},
    };
    for (const auto &conf : device.interfaces)
        record["interfaces"].push_back(interface_record(conf));
    return record;
}

void print_device_records(const json &devices)
{
    for (const auto &device : devices) {
        std::vector<json> fields = {"device"};
        for (const char *key : {"puid", "mode", "host_name", "product_name", "product_id", "hardware_id",
                                "hardware_revision", "software_version", "protocol", "address", "interface"})
            fields.push_back(device[key]);
        print_record(fields);
        for (const auto &conf : device["interfaces"]) {
            fields = {"interface", device["puid"]};
            for (const char *key :
                 {"name", "mac", "link", "ipv4_method", "address", "netmask", "gateway", "broadcast", "dns", "wins"})
                fields.push_back(conf[key]);
            print_record(fields);
        }
        for (const auto &address : device["claimed_by"])
            print_record({"conflict", device["puid"], address});
    }
}

void print_devices(FILE *stream, const json &devices)
{
    std::vector<std::vector<std::string>> rows = {
        {"PUID", "MODE", "HOST NAME", "PRODUCT", "HARDWARE", "SOFTWARE", "ADDRESS", "INTERFACE"}};
    // Appended rather than concatenated: g++ 12 at -O3 reports a false overlap
    // in `"(" + text + ")"`.
    auto decorated = [](const json &value, std::string before, const char *after) {
        if (value.is_null())
            return json(nullptr);
        before += shown(value);
        before += after;
        return json(before);
    };
    for (const auto &device : devices)
        rows.push_back({shown(device["puid"]), shown(device["mode"]), shown(device["host_name"]),
                        joined(device["product_name"], decorated(device["product_id"], "(", ")"), " "),
                        joined(device["hardware_id"], decorated(device["hardware_revision"], "rev ", ""), " "),
                        shown(device["software_version"]), shown(device["address"]), shown(device["interface"])});
    print_table(stream, rows, [&](size_t row) {
        if (row == 0)
            return;
        for (const auto &conf : devices[row - 1]["interfaces"]) {
            std::string link = conf["link"].is_null() ? "link -" : "link " + shown(conf["link"]);
            std::fprintf(stream, "    %s  %s  %s  %s  %s  gateway %s  dns %s  wins %s\n", shown(conf["name"]).c_str(),
                         shown(conf["mac"]).c_str(), link.c_str(), shown(conf["ipv4_method"]).c_str(),
                         joined(conf["address"], conf["netmask"], "/").c_str(), shown(conf["gateway"]).c_str(),
                         shown(conf["dns"]).c_str(), shown(conf["wins"]).c_str());
        }
        const json &claimants = devices[row - 1]["claimed_by"];
        if (!claimants.empty()) {
            std::string hosts;
            for (const auto &address : claimants)
                hosts += (hosts.empty() ? "" : ", ") + shown(address);
            std::fprintf(stream, "    CONFLICT: %zu hosts answer as this PUID: %s\n", claimants.size(), hosts.c_str());
        }
    });
}

} // namespace ctl
