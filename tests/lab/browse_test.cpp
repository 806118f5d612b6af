// Browsing through the daemon, end to end: devices on one bridge, each with
// its own configuration service on a private bus, orvaned -f and a private
// /tmp, and a configurator host that also plays a scripted device answering
// LOOK twice. orvanectl browse runs on device 1; calls and misbehaving
// clients reach the daemon's RPC socket through its file, as local programs
// on the device would.
#include "support/ipconf_device.hpp"
#include "support/lab.hpp"

#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "platform/product_info.hpp"
#include "util/tlv_ez.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

using lab::bytes;

constexpr uint32_t browse_signature = 0xb4d27370;
const std::string orvanectl = ORV_BUILD_DIR "/tools/orvanectl/orvanectl";

// What the scripted device on the configurator host says about itself: a
// host name that is not UTF-8, which the RPC reply carries with U+FFFD.
constexpr const char *scripted_name = "scripted\xff";
constexpr const char *scripted_name_sent = "scripted\xef\xbf\xbd";
constexpr const char *scripted_addresses = "192.0.2.20,198.51.100.20";

using Record = std::vector<std::string>; // host name, addresses, product id, product name
const std::vector<std::string> fields = {"hostname", "ip", "product-id", "product-name"};

// The reply line of a browse that heard these devices, in this order.
nlohmann::ordered_json browse_reply(const std::vector<Record> &records)
{
    auto devices = nlohmann::ordered_json::object();
    char key[64];
    for (size_t i = 0; i < records.size(); ++i)
        for (size_t field = 0; field < fields.size(); ++field)
            devices[std::string(key, static_cast<size_t>(std::snprintf(key, sizeof key, "%.5zu.%s", i,
                                                                       fields[field].c_str())))] = records[i][field];
    return {{"status", 0}, {"results", {{"devices@1", devices}}}};
}

nlohmann::ordered_json parsed(const std::string &line)
{
    return nlohmann::ordered_json::parse(line, nullptr, false);
}

// The INFO of the scripted device: two interfaces, both addressed.
bytes scripted_info()
{
    std::string puid = "02:00:00:00:0C:01", name = scripted_name, id = "PX-9", product = "Scripted";
    product_info info = {puid.data(), 0, name.data(), product.data(), id.data(), nullptr, nullptr, nullptr};
    tlv_writer *writer = ipconf_msg_open_info(&info, 2);
    std::string texts[2][4] = {{"lab0", "02:00:00:00:0C:01", "192.0.2.20", "255.255.255.0"},
                               {"lab1", "02:00:00:00:0C:02", "198.51.100.20", "255.255.255.0"}};
    for (auto &[link, mac, ip, mask] : texts) {
        interface_conf conf = {link.data(), mac.data(), 0,       1,       0,      ip.data(),
                               mask.data(), nullptr,    nullptr, nullptr, nullptr};
        writer = ipconf_msg_add_interface_to_info(writer, &conf);
    }
    return take(ipconf_msg_close_info(&writer));
}

// Plays the scripted device for one browse: waits for the LOOK and for the
// real device's INFO (so that it comes first), then sends datagrams the
// browse drops (too short, cut, a length that wraps around, an ADDR text
// without its zero) and answers twice.
bool answer_look_twice(lab::IpconfPeer &peer, const std::string &other_puid)
{
    if (!peer.receive("LOOK"_tlv, 8000))
        return false;
    if (!other_puid.empty() && !peer.receive("INFO"_tlv, 3000, other_puid))
        return false;
    const bytes info = scripted_info();
    bytes wrapped = info, broken = info;
    wrapped[4] = wrapped[5] = wrapped[6] = 0xff;
    wrapped[7] = 0xfc;
    broken.back() = 'x';
    for (const bytes &junk : {bytes{'L', 'O'}, bytes(info.begin(), info.begin() + 40), wrapped, broken})
        if (!peer.send(junk))
            return false;
    return peer.send(info) && peer.send(info);
}

// A socket file readable and writable by owner and group only.
bool is_socket(const std::string &path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && (info.st_mode & 07777) == 0660;
}

// A local client that speaks raw lines on the daemon's RPC socket.
std::unique_ptr<lab::Stream> raw_client(const std::string &path)
{
    sockaddr_un name{AF_UNIX, {}};
    std::strncpy(name.sun_path, path.c_str(), sizeof name.sun_path - 1);
    return std::make_unique<lab::Stream>(lab::connect_stream(reinterpret_cast<sockaddr *>(&name), sizeof name));
}

// Sends the text; the line that answers it.
std::string say(lab::Stream &client, const std::string &text, int flags = 0, int wait_ms = 5000)
{
    (void)client.write(text, flags);
    return client.line(wait_ms);
}

// A call as it travels: one JSON object per line.
std::string call_line(const std::string &args, uint32_t signature = browse_signature,
                      const std::string &function = "ipconf_browse")
{
    return "{\"function\": \"" + function + "\", \"signature\": " + std::to_string(signature) + ", \"args\": " + args +
           "}\n";
}

class Browse : public lab::DeviceTest {
protected:
    static bool start(lab::Device &device)
    {
        return device.start_service() && device.start_daemon() && device.daemon().wait_for_line("RPC server up", 10000);
    }
    // Runs orvanectl to its end on the device, seeing its /tmp.
    std::unique_ptr<lab::Process> orvanectl_on(const lab::Device &device, std::vector<std::string> args)
    {
        args.insert(args.begin(), orvanectl);
        auto process =
            lab->start(device.addresses().host, args, {.env = {}, .tmp_dir = device.private_tmp(), .stdin_data = {}});
        EXPECT_TRUE(process && process->wait(20000) >= 0);
        return process;
    }
};

TEST_F(Browse, OrvanectlListsEveryReplyAndMisbehavingClientsLeaveTheDaemonServingWithNothingBehind)
{
    // Names another user planted at the top of the range: the daemon takes
    // the smallest free number instead.
    std::ofstream(device->private_tmp() + "/orvane_rpc_2147483646") << "";
    std::ofstream(device->private_tmp() + "/orvane_rpc_2147483647.sock") << "";
    ASSERT_TRUE(start(*device)) << device->daemon_log();
    const std::string path = device->private_tmp() + "/orvane_rpc_1.sock";
    const pid_t pid = device->daemon().pid();
    EXPECT_TRUE(is_socket(path));

    // Refused calls never run the browse: no LOOK reaches the segment. A
    // refused call leaves the connection open for the next one, also when
    // two arrive in one write.
    peer->drain();
    {
        auto refused = raw_client(path);
        const std::pair<std::string, std::string> cases[] = {
            {call_line("{\"timeout@0\": 1}", browse_signature ^ 1), "{\"status\":4}"},
            {call_line("{}"), "{\"status\":5}"},
            {call_line("{\"timeout@0\": \"1\"}"), "{\"status\":6}"},
            {call_line("{\"timeout@0\": 2147483648}"), "{\"status\":6}"},
            {call_line("{}", browse_signature, "nosuch"), "{\"status\":3}"},
            {call_line("{}") + call_line("{}"), "{\"status\":5}"},
            {"", "{\"status\":5}"},
        };
        for (const auto &[line, reply] : cases)
            EXPECT_EQ(say(*refused, line), reply) << line;
        EXPECT_TRUE(peer->collect("LOOK"_tlv, 1000).empty());
        // A negative time-out: the LOOK goes out, nothing is collected.
        EXPECT_EQ(parsed(say(*refused, call_line("{\"timeout@0\": -1}"))), browse_reply({}));
    }
    EXPECT_EQ(peer->collect("LOOK"_tlv, 1000).size(), 1u); // meanwhile the daemon drops the connection

    const auto baseline = lab::descriptors_of(pid);
    {
        auto silent = raw_client(path); // connects and says nothing throughout
        auto malformed = raw_client(path);
        EXPECT_EQ(say(*malformed, "{\"function\": \"ipconf_browse\", \"signature\": \n"), "{\"status\":1}");
        EXPECT_EQ(malformed->line(), "<closed>");

        auto too_long = raw_client(path);
        EXPECT_EQ(say(*too_long, "{\"function\": \"ipconf_browse\", \"pad\": \"" + std::string(70000, 'x')),
                  "{\"status\":2}");
        EXPECT_EQ(too_long->line(), "<closed>");

        auto halfway = raw_client(path);
        EXPECT_EQ(say(*halfway, "{\"function\": \"ipconf_br", 0, 0), "<silence>");
        halfway.reset();

        auto urgent = raw_client(path);
        EXPECT_EQ(say(*urgent, "!", MSG_OOB), "<closed>");

        // With the silent client still connected, the daemon serves both sides.
        EXPECT_TRUE(peer->look(3000, device->puid())) << device->daemon_log();
        EXPECT_THAT(say(*raw_client(path), call_line("{\"timeout@0\": 1}")), StartsWith("{\"status\":0,"));
    }
    // Every connection is gone again, and idle means idle.
    EXPECT_TRUE(lab::descriptors_settle(pid, baseline))
        << "baseline " << baseline.size() << ", now " << lab::descriptors_of(pid).size() << "\n"
        << device->daemon_log();
    const long before = lab::cpu_ticks(pid);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LE(lab::cpu_ticks(pid) - before, 5) << "clock ticks spent in an idle second";
    EXPECT_EQ(device->count_lines("error on RPC socket"), 1) << device->daemon_log();

    // The second device's /tmp holds names from earlier daemons: it takes the
    // number above the highest of them.
    second = std::make_unique<lab::Device>(*lab, 1);
    second->store.host_name = "device-2";
    second->store.product_id = "SH-300";
    second->store.product_name = "Sensor Hub Two";
    std::ofstream(second->private_tmp() + "/orvane_rpc_3.sock") << "";
    std::ofstream(second->private_tmp() + "/orvane_rpc_12.old") << "";
    ASSERT_TRUE(start(*second)) << second->daemon_log();
    const std::string second_path = second->private_tmp() + "/orvane_rpc_13.sock";
    EXPECT_TRUE(is_socket(second_path)) << second->daemon_log();
    // The RPC library's own lines reach the daemon's log with their prefix.
    EXPECT_EQ(second->count_lines("[libmirel] notice: listening on unix:/tmp/orvane_rpc_13.sock"), 1);
    const std::string second_puid = lab::upper_case(second->addresses().mac0);
    const Record device_2 = {"device-2", second->addresses().ipv4_0, "SH-300", "Sensor Hub Two"};
    const Record scripted = {scripted_name_sent, scripted_addresses, "PX-9", "Scripted"};

    // orvanectl browse on device 1: device 2 once, the scripted device twice,
    // in order of arrival.
    peer->drain();
    auto answered = std::async(std::launch::async, answer_look_twice, std::ref(*peer), second_puid);
    auto listed = orvanectl_on(*device, {"browse", "-t", "2"});
    ASSERT_TRUE(listed);
    EXPECT_TRUE(answered.get());
    EXPECT_EQ(listed->wait(), 0) << listed->stderr_text();
    std::vector<Record> rows; // each line split into columns (two or more spaces)
    std::istringstream lines(listed->stdout_text());
    const std::regex gap("  +");
    for (std::string line; std::getline(lines, line);)
        rows.emplace_back(std::sregex_token_iterator(line.begin(), line.end(), gap, -1), std::sregex_token_iterator());
    EXPECT_EQ(rows, (std::vector<Record>{
                        {"HOST NAME", "ADDRESSES", "PRODUCT ID", "PRODUCT NAME"}, device_2, scripted, scripted}))
        << listed->stdout_text();

    // The reply line itself: exactly four keys per reply, numbered in order
    // of arrival.
    peer->drain();
    answered = std::async(std::launch::async, answer_look_twice, std::ref(*peer), second_puid);
    const std::string reply = say(*raw_client(path), call_line("{\"timeout@0\": 2}"));
    EXPECT_TRUE(answered.get());
    EXPECT_EQ(parsed(reply), browse_reply({device_2, scripted, scripted})) << reply;

    // A clean stop removes the socket file and says so.
    for (lab::Device *each : {device.get(), second.get()}) {
        EXPECT_EQ(each->daemon().stop(), 0);
        EXPECT_EQ(each->count_lines("RPC server down"), 1) << each->daemon_log();
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(std::filesystem::exists(second_path));
    EXPECT_TRUE(std::filesystem::exists(second->private_tmp() + "/orvane_rpc_3.sock"));

    // In sleep mode the daemon's socket is a packet socket, which a browse
    // cannot broadcast through: orvanectl gets an empty list and says so,
    // nothing reaches the segment, and the device goes on answering.
    ASSERT_TRUE(device->start_daemon({"-m", "sleep", "-u", lab::upper_case(device->addresses().mac0)}) &&
                device->daemon().wait_for_line("RPC server up", 10000))
        << device->daemon_log();
    peer->drain();
    auto alone = orvanectl_on(*device, {"--json", "browse", "-t", "1"});
    ASSERT_TRUE(alone);
    EXPECT_EQ(alone->wait(), 0) << alone->stderr_text();
    EXPECT_EQ(nlohmann::json::parse(alone->stdout_text(), nullptr, false)["devices"], nlohmann::json::array());
    EXPECT_THAT(alone->stderr_text(), HasSubstr("found no device"));
    EXPECT_TRUE(peer->collect("LOOK"_tlv, 500).empty());
    EXPECT_TRUE(peer->look(3000, device->puid())) << device->daemon_log();
}

} // namespace
