// orvanectl browse: asks the daemon of this device, through its local RPC
// socket, to look for the other devices on its segment, and lists what it
// found. Nothing here touches the network; the daemon does the broadcasting.

#include "tools/orvanectl/cli.hpp"
#include "tools/orvanectl/output.hpp"

#include "lib/dorvik/rpc_client.hpp"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace {

constexpr uint32_t browse_signature = 0xb4d27370;
constexpr int max_browse_seconds = 300;
// The daemon answers after the browse time; this much more covers a daemon
// that is busy with another request first.
constexpr int reply_slack_ms = 5000;

int run_browse(int argc, char **argv);

const ctl::command browse_command{
    "browse", "[-t SECONDS] [--socket PATH]",
    "Ask the orvaned of this device to look for the other devices on its segment, and list them.",
    R"(The daemon is reached through the newest /tmp/orvane_rpc_N.sock (the highest N), or PATH. It broadcasts
one LOOK and collects the INFO replies for SECONDS (whole seconds, default 2), serving nothing else
meanwhile. Every reply is one entry, in order of arrival: a device that answers twice is listed twice.
Columns: host name, addresses (joined by ','), product id and product name; '-' marks an empty field.
Only a socket owned by root, by the daemon's user _orvaned or by the caller is used; any other is refused
and named.)",
    run_browse};

const ctl::registration registered{browse_command};

bool parse_whole_seconds(const char *what, const char *text, int &seconds)
{
    errno = 0;
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] < '0' || text[0] > '9' || value < 1 ||
        value > max_browse_seconds)
        return ctl::refuse(std::string(what) + " wants a whole number of seconds from 1 to " +
                           std::to_string(max_browse_seconds) + ", not \"" + ctl::printable(text) + "\"");
    seconds = static_cast<int>(value);
    return true;
}

// A socket that root, the daemon's own user or this user made; anyone may
// create a file in /tmp, and a socket planted by another user would receive
// the request.
bool trusted_socket(const std::string &path)
{
    struct stat owner {};
    if (lstat(path.c_str(), &owner) != 0 || !S_ISSOCK(owner.st_mode))
        return false;
    const passwd *daemon_user = getpwnam("_orvaned");
    return owner.st_uid == 0 || owner.st_uid == geteuid() ||
           (daemon_user != nullptr && owner.st_uid == daemon_user->pw_uid);
}

// The socket of the newest daemon: /tmp/orvane_rpc_N.sock with the highest
// N (each daemon takes a number above every one in /tmp) among the trusted
// ones. Empty when none; `refused` then names the newest untrusted one.
std::string newest_socket(std::string &refused)
{
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir("/tmp"), closedir);
    if (!dir)
        return {};
    constexpr std::string_view prefix = "orvane_rpc_", suffix = ".sock";
    long long highest = -1;
    std::string found;
    while (const dirent *entry = readdir(dir.get())) {
        std::string_view name = entry->d_name;
        if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix))
            continue;
        std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        if (digits.size() > 10 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        long long number = std::stoll(std::string(digits));
        std::string path = "/tmp/" + std::string(name);
        if (number <= highest)
            continue;
        if (!trusted_socket(path)) {
            refused = path;
            continue;
        }
        highest = number;
        found = path;
    }
    return found;
}

// The reply dictionary ("00000.hostname", "00000.ip", ...) as devices in
// index order. Keys of another shape are left out.
ctl::json devices_of(const Dictionary *dictionary)
{
    static const std::map<std::string, std::string, std::less<>> fields = {
        {"hostname", "host_name"}, {"ip", "addresses"}, {"product-id", "product_id"}, {"product-name", "product_name"}};
    std::map<long, ctl::json> by_index;
    for (size_t i = 0; i < Dictionary_Count(dictionary); ++i) {
        std::string_view key = Dictionary_KeyAt(dictionary, i);
        std::string_view value = Dictionary_ValueAt(dictionary, i);
        size_t dot = key.find('.');
        if (dot == std::string_view::npos || dot < 5 || dot > 9 ||
            !std::all_of(key.begin(), key.begin() + static_cast<long>(dot),
                         [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        auto field = fields.find(key.substr(dot + 1));
        if (field == fields.end())
            continue;
        ctl::json &device = by_index[std::stol(std::string(key.substr(0, dot)))];
        if (device.is_null())
            device = {
                {"host_name", nullptr}, {"addresses", nullptr}, {"product_id", nullptr}, {"product_name", nullptr}};
        if (!value.empty())
            device[field->second] = std::string(value);
    }
    ctl::json devices = ctl::json::array();
    for (auto &entry : by_index) {
        ctl::json &device = entry.second;
        // JSON readers get the addresses as a list; people see them joined.
        std::string joined = device["addresses"].is_null() ? "" : device["addresses"].get<std::string>();
        ctl::json addresses = ctl::json::array();
        for (size_t start = 0; !joined.empty() && start <= joined.size();) {
            size_t comma = std::min(joined.find(',', start), joined.size());
            addresses.push_back(joined.substr(start, comma - start));
            start = comma + 1;
        }
        device["addresses"] = std::move(addresses);
        devices.push_back(std::move(device));
    }
    return devices;
}

void print_browsed(const ctl::json &devices)
{
    std::vector<std::vector<std::string>> rows = {{"HOST NAME", "ADDRESSES", "PRODUCT ID", "PRODUCT NAME"}};
    auto cell = [](const ctl::json &text) {
        std::string shown = ctl::shown(text);
        return shown.empty() ? std::string("-") : shown;
    };
    for (const auto &device : devices) {
        std::string addresses;
        for (const auto &address : device["addresses"]) {
            if (!addresses.empty())
                addresses += ',';
            addresses += ctl::shown(address);
        }
        rows.push_back({cell(device["host_name"]), addresses.empty() ? "-" : addresses, cell(device["product_id"]),
                        cell(device["product_name"])});
    }
    ctl::print_table(stdout, rows);
}

struct message_deleter {
    void operator()(RPCMsg *msg) const { RPCMsg_Destroy(msg); }
};
using message = std::unique_ptr<RPCMsg, message_deleter>;

int run_browse(int argc, char **argv)
{
    int seconds = 2;
    std::string path;
    std::vector<std::string> positional;
    int status = ctl::parse_options(
        browse_command, argc, argv,
        {
            {"timeout", 't', "SECONDS", "let the daemon collect replies for this long (default 2)",
             [&](const char *value) { return parse_whole_seconds("-t", value, seconds); }},
            {"socket", 0, "PATH", "the daemon's RPC socket (default: the newest /tmp/orvane_rpc_N.sock)",
             [&](const char *value) {
                 path = value;
                 return !path.empty() || ctl::refuse("--socket wants a path");
             }},
        },
        positional);
    if (status != ctl::go_on)
        return status;
    std::string refused;
    if (path.empty() && (path = newest_socket(refused)).empty()) {
        ctl::refuse(refused.empty() ? "no daemon socket /tmp/orvane_rpc_N.sock found (is orvaned running here?)"
                                    : "refusing " + ctl::printable(refused) +
                                          ": not a socket owned by root, _orvaned or this user");
        return ctl::exit_failed;
    }

    if (!trusted_socket(path)) {
        ctl::refuse("refusing " + ctl::printable(path) + ": not a socket owned by root, _orvaned or this user");
        return ctl::exit_failed;
    }
    std::unique_ptr<RPCClient, void (*)(RPCClient *)> client(RPCClient_Open(("unix:" + path).c_str()), RPCClient_Close);
    if (!client) {
        ctl::refuse("cannot connect to " + path + ": " + std::strerror(errno));
        return ctl::exit_failed;
    }
    RPCCall call{};
    message request(RPCMsg_Create()), reply(RPCMsg_Create());
    if (!request || !reply || RPCMsg_Set_Int32(&call, request.get(), "timeout@0", seconds) != 0) {
        ctl::refuse("out of memory");
        return ctl::exit_failed;
    }
    if (RPCClient_Call(client.get(), &call, "ipconf_browse", browse_signature, request.get(), reply.get(),
                       seconds * 1000 + reply_slack_ms) != 0) {
        const bool late = errno == ETIMEDOUT;
        ctl::refuse(late ? "no reply from " + path + " in time"
                         : "call through " + path + " failed: " + std::strerror(errno));
        return late ? ctl::exit_timeout : ctl::exit_failed;
    }
    if (call.status != 0) {
        ctl::refuse("the daemon refused the call with status " + std::to_string(call.status) + " (see docs/rpc.md)");
        return ctl::exit_failed;
    }
    std::unique_ptr<Dictionary, void (*)(Dictionary *)> found(RPCMsg_Get_Dictionary(&call, reply.get(), "devices@1"),
                                                              Dictionary_Destroy);
    if (!found) {
        ctl::refuse("the daemon's reply carries no device list");
        return ctl::exit_failed;
    }
    ctl::json devices = devices_of(found.get());
    if (ctl::json_output()) {
        ctl::json out = ctl::document();
        out["devices"] = devices;
        ctl::print_json(out);
    } else if (ctl::parsable_output()) {
        for (const auto &device : devices) {
            std::string addresses;
            for (const auto &address : device["addresses"])
                addresses += (addresses.empty() ? "" : ",") + address.get<std::string>();
            ctl::print_record({"device", device["host_name"], addresses, device["product_id"], device["product_name"]});
        }
    } else {
        print_browsed(devices);
    }
    if (devices.empty())
        std::fprintf(stderr, "orvanectl browse: the daemon found no device within %d s\n", seconds);
    return ctl::exit_ok;
}

} // namespace
