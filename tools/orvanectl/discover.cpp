// orvanectl discover: broadcasts one LOOK and lists the devices whose INFO
// replies arrive within the time given, one entry per PUID.

#include "tools/orvanectl/cli.hpp"
#include "tools/orvanectl/device.hpp"
#include "tools/orvanectl/output.hpp"
#include "tools/orvanectl/port.hpp"

#include "ipconf/ipconf_msg.hpp"
#include "util/owned.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

int run_discover(int argc, char **argv);

const ctl::command discover_command{
    "discover", "[-i IFACE] [-t SECONDS]",
    "Broadcast one LOOK on UDP port 4445 and list the devices that answer.",
    "Each device is listed once (the latest of its replies) with its PUID, mode, host name, product, hardware\n"
    "and software version, then one line per interface: name, MAC, link, IPv4 method, address/netmask,\n"
    "gateway, DNS and WINS. '-' marks a field the device did not send.",
    run_discover};

const ctl::registration registered{discover_command};

int run_discover(int argc, char **argv)
{
    std::string interface;
    int wait_ms = 2000;
    std::vector<std::string> positional;
    int status = ctl::parse_options(
        discover_command, argc, argv,
        {
            {"interface", 'i', "IFACE", "send and listen on this interface only",
             [&](const char *value) { return ctl::parse_interface_name("-i", value, interface); }},
            {"timeout", 't', "SECONDS", "collect replies for this long (default 2)",
             [&](const char *value) { return ctl::parse_seconds("-t", value, wait_ms); }},
        },
        positional);
    if (status != ctl::go_on)
        return status;
    if (!positional.empty()) {
        ctl::refuse("takes no arguments, not \"" + positional[0] + "\"");
        return ctl::exit_failed;
    }

    ctl::stop_on_signals();
    ctl::ipconf_port port;
    if (!port.open(interface))
        return ctl::exit_failed;
    malloc_ptr<uint8_t> look(ipconf_msg_build_look());
    if (!look) {
        ctl::refuse("cannot build the LOOK message");
        return ctl::exit_failed;
    }
    if (!port.broadcast(look.get()))
        return ctl::exit_failed;

    ctl::device_list devices;
    ctl::deadline until = ctl::deadline_after(wait_ms);
    ctl::datagram received;
    int got;
    while ((got = port.receive(until, received)) == 1) {
        if (received.type != "INFO"_tlv)
            continue;
        ctl::json device;
        if (ctl::decode_info(received, device))
            devices.add(std::move(device));
    }
    if (got < 0)
        return ctl::exit_failed;

    if (ctl::json_output())
        ctl::print_json(devices.all());
    else
        ctl::print_devices(stdout, devices.all());
    if (devices.all().empty())
        std::fprintf(stderr, "orvanectl discover: no device answered within %.1f s\n", wait_ms / 1000.0);
    return ctl::exit_ok;
}

} // namespace
