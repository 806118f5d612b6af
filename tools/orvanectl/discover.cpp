// orvanectl discover: broadcasts one LOOK on every interface (or those given)
// and lists the devices whose INFO replies arrive within the time given, one
// entry per PUID, sorted by PUID, each with the interface it was heard on.

#include "tools/orvanectl/cli.hpp"
#include "tools/orvanectl/device.hpp"
#include "tools/orvanectl/output.hpp"
#include "tools/orvanectl/segment.hpp"

#include <cstdio>

namespace {

int run_discover(int argc, char **argv);

const ctl::command discover_command{
    "discover", "[-i IFACE]... [--raw] [-t SECONDS]",
    "Broadcast one LOOK on UDP port 4445 and list the devices that answer.",
    R"(The LOOK goes out on every interface that is up and broadcast-capable (not loopback), or on those given
with -i; no route and no address are needed. An interface without an IPv4 address (or every one, with
--raw) is searched with raw frames, which needs CAP_NET_RAW. Each device is listed once (the latest of
its replies), sorted by PUID, with its PUID, mode, host name, product, hardware and software version,
address and the local interface it answered on, then one line per interface: name, MAC, link, IPv4
method, address/netmask, gateway, DNS and WINS. '-' marks a field the device did not send.)",
    run_discover};

const ctl::registration registered{discover_command};

int run_discover(int argc, char **argv)
{
    configurator::search where;
    const int status = ctl::parse_search_command(discover_command, argc, argv, 2000,
                                                 "collect replies for this long (default 2)", where);
    if (status != ctl::go_on)
        return status;

    const auto found = configurator::find(where);
    ctl::end_progress();
    if (found.result != configurator::outcome::ok)
        return ctl::unfinished(found.result, found.error);
    ctl::print_notes(found.notes);
    ctl::json devices = ctl::json::array();
    for (const auto &device : found.devices)
        devices.push_back(ctl::device_record(device));
    if (ctl::json_output()) {
        ctl::json out = ctl::document();
        out["devices"] = devices;
        out["dropped"] = found.dropped;
        ctl::print_json(out);
    } else if (ctl::parsable_output()) {
        ctl::print_device_records(devices);
        if (found.dropped != 0)
            ctl::print_record({"dropped", found.dropped});
    } else {
        ctl::print_devices(stdout, devices);
    }
    if (found.dropped != 0 && !ctl::json_output())
        std::fprintf(stderr,
                     "orvanectl discover: %zu replies not kept: more than %zu devices answered, or more than %zu "
                     "hosts as one PUID (is something flooding the segment?)\n",
                     found.dropped, configurator::max_devices, configurator::max_claimants);
    if (devices.empty())
        std::fprintf(stderr,
                     "orvanectl discover: no device answered within %.1f s (a firewall that drops UDP port 4445 "
                     "coming in looks the same)\n",
                     std::chrono::duration<double>(where.timeout).count());
    return ctl::exit_ok;
}

} // namespace
