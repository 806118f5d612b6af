#include "tools/orvanectl/device.hpp"

#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "ipconf/product_record.hpp"

#include <algorithm>
#include <vector>

namespace ctl {

namespace {

json interface_record(const interface_conf &conf)
{
    return {
        {"name", text_or_null(conf.name)},
        {"mac", text_or_null(conf.mac)},
        {"link", link_name(conf.link_state)},
        {"ipv4_method", method_name(conf.ipv4_mode)},
        {"address", text_or_null(conf.ipv4)},
        {"netmask", text_or_null(conf.netmask)},
        {"gateway", text_or_null(conf.gateway)},
        {"broadcast", text_or_null(conf.broadcast)},
        {"dns", text_or_null(conf.dns)},
        {"wins", text_or_null(conf.wins)},
    };
}

json key_of(const json &device)
{
    return device["puid"].is_null() ? device["address"] : device["puid"];
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

bool decode_info(const datagram &info, json &device)
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
    device = {
        {"puid", text_or_null(head.puid)},
        {"mode", head.mode == no_mode ? json(nullptr) : json(mode_name(head.mode))},
        {"host_name", text_or_null(head.host_name)},
        {"product_name", text_or_null(head.product_name)},
        {"product_id", text_or_null(head.product_id)},
        {"hardware_id", text_or_null(head.hardware_id)},
        {"hardware_revision", text_or_null(head.hardware_revision)},
        {"software_version", text_or_null(head.system_version)},
        {"protocol", protocol == no_protocol ? json(nullptr) : json(protocol)},
        {"address", info.sender},
        {"interfaces", json::array()},
    };
    while (avail != 0) {
        interface_conf conf{};
        if (ipconf_msg_parse_get_interface_from_info(&cursor, &avail, &conf) != 0)
            return false;
        device["interfaces"].push_back(interface_record(conf));
    }
    return true;
}

void device_list::add(json device)
{
    for (auto &known : devices_)
        if (key_of(known) == key_of(device)) {
            known = std::move(device);
            return;
        }
    devices_.push_back(std::move(device));
}

void print_devices(FILE *stream, const json &devices)
{
    std::vector<std::vector<std::string>> rows = {
        {"PUID", "MODE", "HOST NAME", "PRODUCT", "HARDWARE", "SOFTWARE", "ADDRESS"}};
    for (const auto &device : devices)
        rows.push_back({shown(device["puid"]), shown(device["mode"]), shown(device["host_name"]),
                        joined(device["product_name"], device["product_id"].is_null()
                                                           ? json(nullptr)
                                                           : json("(" + shown(device["product_id"]) + ")"),
                               " "),
                        joined(device["hardware_id"], device["hardware_revision"].is_null()
                                                          ? json(nullptr)
                                                          : json("rev " + shown(device["hardware_revision"])),
                               " "),
                        shown(device["software_version"]), shown(device["address"])});
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto &row : rows)
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    auto print_row = [&](const std::vector<std::string> &row) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        std::fprintf(stream, "%s\n", line.c_str());
    };
    print_row(rows[0]);
    for (size_t d = 0; d < devices.size(); ++d) {
        print_row(rows[d + 1]);
        for (const auto &conf : devices[d]["interfaces"]) {
            std::string link = conf["link"].is_null() ? "link -" : "link " + shown(conf["link"]);
            std::fprintf(stream, "    %s  %s  %s  %s  %s  gateway %s  dns %s  wins %s\n", shown(conf["name"]).c_str(),
                         shown(conf["mac"]).c_str(), link.c_str(), shown(conf["ipv4_method"]).c_str(),
                         joined(conf["address"], conf["netmask"], "/").c_str(), shown(conf["gateway"]).c_str(),
                         shown(conf["dns"]).c_str(), shown(conf["wins"]).c_str());
        }
    }
}

} // namespace ctl
