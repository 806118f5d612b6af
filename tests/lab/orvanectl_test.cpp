// orvanectl driven as a person would, in a lab: a configurator namespace and
// two device namespaces on one bridge. The devices here are small scripted
// peers built from the message modules, answering over real UDP broadcasts,
// so that each test controls exactly what a device says (duplicate replies,
// refusals, silence) and can check every byte orvanectl sent.

#include "support/lab.hpp"

#include "ipconf/auth.hpp"
#include "ipconf/auth_msg.hpp"
#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "net/address.hpp"
#include "net/ip.hpp"
#include "net/socket.hpp"
#include "util/sha1.hpp"
#include "util/tlv_ez.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string orvanectl = ORV_BUILD_DIR "/tools/orvanectl/orvanectl";
const std::string password = "correct horse";

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
using message = std::unique_ptr<uint8_t, free_deleter>;

// What one scripted device is and how it behaves.
struct device_script {
    std::string host;      // lab host
    std::string puid;      // also its MAC on lab0
    std::string address;   // its IPv4 address on lab0
    std::string host_name;
    int info_copies = 2;   // INFO replies per LOOK
    bool answer = true;    // false: a silent device
};

// A scripted device, running in its own thread inside its namespace until
// stop(); it records every datagram it received, one line each.
class fake_device {
public:
    fake_device(lab::Lab &lab, device_script script) : script_(std::move(script))
    {
        std::promise<bool> bound;
        auto ready = bound.get_future();
        thread_ = std::thread([this, &lab, &bound] {
            auto inside = lab.enter(script_.host);
            int fd = udp_socket_new(4445, "lab0");
            bound.set_value(inside.ok() && fd >= 0);
            if (fd >= 0) {
                serve(fd);
                close(fd);
            }
        });
        ok_ = ready.get();
    }
    ~fake_device() { stop(); }

    [[nodiscard]] bool ok() const { return ok_; }
    void stop()
    {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    [[nodiscard]] std::vector<std::string> log()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return log_;
    }

private:
    void note(const std::string &line)
    {
        std::lock_guard<std::mutex> hold(mutex_);
        log_.push_back(line);
    }

    void send(int fd, message m)
    {
        // The sender keeps one process-wide destination and is not meant for
        // threads: the scripted devices take turns.
        static std::mutex sender;
        std::lock_guard<std::mutex> hold(sender);
        if (m)
            (void)udp_send_broadcast(fd, 4445, m.get(), tlv_get_size(m.get()));
    }

    message info()
    {
        product_info head{};
        head.puid = script_.puid.data();
        head.mode = 0;
        head.host_name = script_.host_name.data();
        std::string name = "Sensor Hub", id = "SH-200", hw = "HW-7", rev = "B", version = "1.4.2";
        head.product_name = name.data();
        head.product_id = id.data();
        head.hardware_id = hw.data();
        head.hardware_revision = rev.data();
        head.system_version = version.data();
        tlv_writer *writer = ipconf_msg_open_info(&head, 2);
        std::string lab0 = "lab0", mask = "255.255.255.0", gateway = "192.0.2.1", dns = "192.0.2.53";
        interface_conf conf{};
        conf.name = lab0.data();
        conf.mac = script_.puid.data();
        conf.role = 0;
        conf.link_state = 1;
        conf.ipv4_mode = 0;
        conf.ipv4 = script_.address.data();
        conf.netmask = mask.data();
        conf.gateway = gateway.data();
        conf.dns = dns.data();
        if (writer)
            writer = ipconf_msg_add_interface_to_info(writer, &conf);
        return message(writer ? ipconf_msg_close_info(&writer) : nullptr);
    }

    // Checks a CONF as the daemon would and describes it in one line.
    void conf(int fd, uint8_t *data, size_t size, const std::string &from)
    {
        uint8_t *cursor = data;
        size_t avail = size;
        conf_auth auth{};
        char *host_name = nullptr;
        if (ipconf_msg_parse_conf(&cursor, &avail, &auth, &host_name) != 0) {
            note("CONF unparsable");
            return;
        }
        if (!auth.puid || script_.puid != auth.puid)
            return;
        std::unique_ptr<uint8_t, free_deleter> hash(sha1_hash(password.data(), password.size()));
        bool right = auth.password && challenge_ != 0 &&
                     check_password(reinterpret_cast<uint8_t *>(&challenge_), 4, hash.get(), auth.password) == 0;
        challenge_ = 0;
        std::string line = std::string("CONF user=") + (auth.user ? auth.user : "-") +
                           " password=" + (right ? "right" : "wrong") + " host=" + (host_name ? host_name : "-");
        while (avail != 0) {
            interface_conf intf{};
            if (ipconf_msg_parse_get_interface_from_conf(&cursor, &avail, &intf) != 0) {
                note(line + " bad-interface");
                return;
            }
            auto text = [](const char *t) { return std::string(t ? t : "-"); };
            line += " [mac=" + text(intf.mac) + " mode=" + std::to_string(intf.ipv4_mode) + " addr=" + text(intf.ipv4) +
                    " mask=" + text(intf.netmask) + " gw=" + text(intf.gateway) + " dns=" + text(intf.dns) +
                    " wins=" + text(intf.wins) + "]";
        }
        note(line);
        if (right)
            send(fd, message(ipconf_msg_build_ok(script_.puid.c_str(), from.c_str())));
        else
            send(fd, message(ipconf_msg_build_error(script_.puid.c_str(), from.c_str(),
                                                    "authentication error: invalid password or user name")));
    }

    void serve(int fd)
    {
        std::vector<uint8_t> buffer(65536);
        while (running_) {
            pollfd wanted{fd, POLLIN, 0};
            if (poll(&wanted, 1, 50) <= 0)
                continue;
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            ssize_t got = recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr *>(&peer), &length);
            if (got < 8)
                continue;
            char from[46] = "";
            if (ip_address_get(&peer, from, nullptr) != 0)
                continue;
            std::string sender = from;
            if (sender.rfind("::ffff:", 0) == 0)
                sender = sender.substr(7);
            if (sender == script_.address)
                continue; // its own broadcasts
            uint32_t type = tlv_get_envelope_type(buffer.data());
            size_t size = std::min<size_t>(tlv_get_size(buffer.data()), static_cast<size_t>(got));
            note("got " + std::string(1, static_cast<char>(type >> 24)) + std::string(1, static_cast<char>(type >> 16)) +
                 std::string(1, static_cast<char>(type >> 8)) + std::string(1, static_cast<char>(type)) + " from " +
                 sender);
            if (!script_.answer)
                continue;
            if (type == IPCONF_LOOK) {
                for (int i = 0; i < script_.info_copies; ++i)
                    send(fd, info());
            } else if (type == IPCONF_CHRQ) {
                char *puid = nullptr;
                if (ipconf_msg_parse_get_puid(buffer.data(), size, &puid) != 0 || script_.puid != puid)
                    continue;
                challenge_ = 0x5A17C0DE;
                send(fd, message(auth_msg_build_challenge(reinterpret_cast<uint8_t *>(&challenge_), 4,
                                                          script_.puid.c_str(), sender.c_str())));
            } else if (type == IPCONF_CONF) {
                conf(fd, buffer.data(), size, sender);
            }
        }
    }

    device_script script_;
    std::thread thread_;
    std::atomic<bool> running_{true};
    bool ok_ = false;
    uint32_t challenge_ = 0;
    std::mutex mutex_;
    std::vector<std::string> log_;
};

class OrvanectlLab : public lab::LabTest {
protected:
    void SetUp() override
    {
        lab::LabTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(lab->add_host("cfg"));
        ASSERT_TRUE(lab->add_link("cfg", "lab0", "02:00:00:00:00:64", {"192.0.2.100/24"}));
        // Like a laptop: a default route, so that a broadcast without -i has a way out.
        ASSERT_TRUE(lab->ip("cfg", {"route", "add", "default", "via", "192.0.2.1", "dev", "lab0"}));
        for (int n : {1, 2}) {
            std::string host = "dev" + std::to_string(n);
            ASSERT_TRUE(lab->add_host(host));
            ASSERT_TRUE(lab->add_link(host, "lab0", scripts[n - 1].puid, {scripts[n - 1].address + "/24"}));
        }
    }

    struct result {
        int status;
        std::string out, err;
    };

    result ctl(const std::vector<std::string> &args, const std::string &input = "", const std::string &host = "cfg")
    {
        std::vector<std::string> argv{orvanectl};
        argv.insert(argv.end(), args.begin(), args.end());
        lab::StartOptions options;
        options.stdin_data = input;
        auto process = lab->start(host, argv, options);
        if (!process)
            return {-1, "", ""};
        int status = process->wait(60000);
        return {status, process->stdout_text(), process->stderr_text()};
    }

    std::vector<device_script> scripts = {
        {"dev1", "02:00:00:00:01:01", "192.0.2.11", "device-1"},
        {"dev2", "02:00:00:00:02:01", "192.0.2.12", "device-2"},
    };
};

TEST_F(OrvanectlLab, DiscoverListsEachDeviceOnceWithItsFieldsAsTextAndJson)
{
    fake_device one(*lab, scripts[0]), two(*lab, scripts[1]);
    ASSERT_TRUE(one.ok() && two.ok());

    result text = ctl({"discover", "-t", "1.5"});
    EXPECT_EQ(text.status, 0) << text.err;
    for (const auto &s : scripts) {
        // One row per device although each answered twice.
        size_t first = text.out.find(s.puid + "  normal  " + s.host_name);
        EXPECT_NE(first, std::string::npos) << text.out;
        EXPECT_EQ(text.out.find(s.puid + "  normal", first + 1), std::string::npos) << text.out;
        EXPECT_THAT(text.out, HasSubstr("Sensor Hub (SH-200)"));
        EXPECT_THAT(text.out, HasSubstr("HW-7 rev B"));
        EXPECT_THAT(text.out, HasSubstr("    lab0  " + s.puid + "  link up  static  " + s.address +
                                        "/255.255.255.0  gateway 192.0.2.1  dns 192.0.2.53  wins -"));
    }

    result json_out = ctl({"--json", "discover", "-i", "lab0", "-t", "1.5"});
    ASSERT_EQ(json_out.status, 0) << json_out.err;
    auto devices = nlohmann::json::parse(json_out.out, nullptr, false);
    ASSERT_TRUE(devices.is_array()) << json_out.out;
    ASSERT_EQ(devices.size(), 2u) << json_out.out;
    for (const auto &s : scripts) {
        auto it = std::find_if(devices.begin(), devices.end(), [&](const auto &d) { return d["puid"] == s.puid; });
        ASSERT_NE(it, devices.end()) << s.puid;
        const auto &d = *it;
        EXPECT_EQ(d["mode"], "normal");
        EXPECT_EQ(d["host_name"], s.host_name);
        EXPECT_EQ(d["product_name"], "Sensor Hub");
        EXPECT_EQ(d["product_id"], "SH-200");
        EXPECT_EQ(d["hardware_id"], "HW-7");
        EXPECT_EQ(d["hardware_revision"], "B");
        EXPECT_EQ(d["software_version"], "1.4.2");
        EXPECT_EQ(d["address"], s.address);
        ASSERT_EQ(d["interfaces"].size(), 1u);
        const auto &i = d["interfaces"][0];
        EXPECT_EQ(i["name"], "lab0");
        EXPECT_EQ(i["mac"], s.puid);
        EXPECT_EQ(i["link"], "up");
        EXPECT_EQ(i["ipv4_method"], "static");
        EXPECT_EQ(i["address"], s.address);
        EXPECT_EQ(i["netmask"], "255.255.255.0");
        EXPECT_EQ(i["gateway"], "192.0.2.1");
        EXPECT_EQ(i["dns"], "192.0.2.53");
        EXPECT_TRUE(i["wins"].is_null());
    }
    // Each discover sent exactly one LOOK.
    auto looks = one.log();
    EXPECT_EQ(std::count(looks.begin(), looks.end(), "got LOOK from 192.0.2.100"), 2) << ::testing::PrintToString(looks);
}

TEST_F(OrvanectlLab, ConfigureSendsTheSettingsWithTheChallengedPasswordAndReportsOk)
{
    fake_device one(*lab, scripts[0]), two(*lab, scripts[1]);
    ASSERT_TRUE(one.ok() && two.ok());
    result ok = ctl({"configure", "02:00:00:00:01:01", "--user", "admin", "--password-stdin", "--hostname",
                     "hall-sensor", "--iface", "02:00:00:00:01:01", "--static", "192.0.2.21/24", "--gateway",
                     "192.0.2.1", "--dns", "192.0.2.53", "-t", "10"},
                    password + "\n");
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_THAT(ok.out, HasSubstr("02:00:00:00:01:01: OK"));
    EXPECT_THAT(ok.out + ok.err, Not(HasSubstr(password)));
    auto seen = one.log();
    EXPECT_THAT(seen, ::testing::ElementsAre("got CHRQ from 192.0.2.100", "got CONF from 192.0.2.100",
                                             "CONF user=admin password=right host=hall-sensor "
                                             "[mac=02:00:00:00:01:01 mode=0 addr=192.0.2.21 mask=255.255.255.0 "
                                             "gw=192.0.2.1 dns=192.0.2.53 wins=-]"));
    // Device 2 saw the broadcasts but was not addressed.
    for (const auto &line : two.log())
        EXPECT_THAT(line, HasSubstr("got ")) << line;

    // A DHCP request for an interface in lower-case MAC, from a password file, JSON out.
    std::string file = lab->dir() + "/password";
    {
        FILE *f = std::fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fprintf(f, "%s\r\nsecond line ignored\n", password.c_str());
        std::fclose(f);
    }
    result dhcp = ctl({"--json", "configure", "02:00:00:00:01:01", "-u", "admin", "--password-file", file, "--iface",
                       "02:00:00:00:01:01", "--dhcp", "-i", "lab0", "-t", "10"});
    EXPECT_EQ(dhcp.status, 0) << dhcp.err;
    auto reply = nlohmann::json::parse(dhcp.out, nullptr, false);
    EXPECT_EQ(reply["result"], "ok") << dhcp.out;
    EXPECT_EQ(reply["puid"], "02:00:00:00:01:01");
    ASSERT_FALSE(one.log().empty());
    EXPECT_EQ(one.log().back(), "CONF user=admin password=right host=- [mac=02:00:00:00:01:01 mode=2 addr=- mask=- "
                                "gw=- dns=- wins=-]");
}

TEST_F(OrvanectlLab, RefusalsTimeOutsAndBadArguments)
{
    fake_device one(*lab, scripts[0]);
    device_script quiet = scripts[1];
    quiet.answer = false;
    fake_device two(*lab, quiet);
    ASSERT_TRUE(one.ok() && two.ok());

    // Wrong password: the device's ERROR text on stderr, status 1.
    result wrong = ctl({"configure", "02:00:00:00:01:01", "--user", "admin", "--password-stdin", "--hostname", "x",
                        "-t", "10"},
                       "not the password\n");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_THAT(wrong.err, HasSubstr("authentication error: invalid password or user name"));
    EXPECT_THAT(wrong.out + wrong.err, Not(HasSubstr("not the password")));
    ASSERT_FALSE(one.log().empty());
    EXPECT_THAT(one.log().back(), HasSubstr("password=wrong"));

    // A PUID that never answers: status 2 once the time is up.
    auto started = std::chrono::steady_clock::now();
    result silent = ctl({"configure", "02:00:00:00:02:01", "--user", "admin", "--password-stdin", "--hostname", "x",
                         "-t", "1"},
                        password + "\n");
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(silent.status, 2);
    EXPECT_THAT(silent.err, HasSubstr("no challenge from 02:00:00:00:02:01"));
    EXPECT_LT(took, 10.0);
    // It asked for a challenge and, without one, sent nothing more.
    ASSERT_FALSE(two.log().empty());
    EXPECT_EQ(two.log().back(), "got CHRQ from 192.0.2.100");

    // Malformed arguments: refused, naming the culprit, and nothing sent.
    size_t before = one.log().size();
    struct bad {
        std::vector<std::string> args;
        const char *named;
    };
    std::vector<bad> cases = {
        {{"configure", "02:00:00:00:01:01", "-u", "admin", "--password-stdin", "--iface", "02:00:00:00:01",
          "--dhcp"},
         "--iface"},
        {{"configure", "02:00:00:00:01:01", "-u", "admin", "--password-stdin", "--iface", "02:00:00:00:01:01",
          "--static", "192.0.2.21"},
         "--static"},
        {{"configure", "02:00:00:00:01:01", "-u", "admin", "--password-stdin", "--iface", "02:00:00:00:01:01",
          "--static", "192.0.2.21/40"},
         "prefix"},
        {{"configure", "02:00:00:00:01:01", "-u", "admin", "--password-stdin", "--iface", "02:00:00:00:01:01",
          "--gateway", "192.0.2"},
         "--gateway"},
        {{"configure", "not-a-puid", "-u", "admin", "--password-stdin", "--hostname", "x"}, "PUID"},
        {{"configure", "02:00:00:00:01:01", "-u", "admin", "--password-stdin", "--hostname", "bad_name"},
         "--hostname"},
        {{"configure", "02:00:00:00:01:01", "-u", "admin", "--password-file", "/nonexistent", "--hostname", "x"},
         "/nonexistent"},
        {{"discover", "-t", "never"}, "-t"},
        {{"discover", "-i", "nosuchif0"}, "cannot open UDP port 4445 on nosuchif0"},
    };
    for (const auto &c : cases) {
        result refused = ctl(c.args, password + "\n");
        EXPECT_EQ(refused.status, 2) << c.named;
        EXPECT_THAT(refused.err, HasSubstr(c.named));
        EXPECT_THAT(refused.out + refused.err, Not(HasSubstr(password)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(one.log().size(), before) << ::testing::PrintToString(one.log());
}

TEST_F(OrvanectlLab, WatchShowsEveryMessageOnThePortDecodedWithItsSender)
{
    ASSERT_TRUE(lab->add_host("obs"));
    ASSERT_TRUE(lab->add_link("obs", "lab0", "02:00:00:00:00:65", {"192.0.2.101/24"}));
    fake_device one(*lab, scripts[0]);
    ASSERT_TRUE(one.ok());
    auto watcher = lab->start("obs", {orvanectl, "watch", "-t", "4"});
    auto json_watcher = lab->start("dev2", {orvanectl, "watch", "--json", "-t", "4", "-i", "lab0"});
    ASSERT_TRUE(watcher && json_watcher);
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // both bound
    result found = ctl({"discover", "-t", "1"});
    EXPECT_EQ(found.status, 0);
    EXPECT_EQ(watcher->wait(10000), 0) << watcher->stderr_text();
    EXPECT_EQ(json_watcher->wait(10000), 0) << json_watcher->stderr_text();
    std::string text = watcher->stdout_text();
    EXPECT_THAT(text, HasSubstr("from 192.0.2.100:4445\nLOOK (8 bytes)\n"));
    EXPECT_THAT(text, HasSubstr("from 192.0.2.11:4445\nINFO"));
    EXPECT_THAT(text, HasSubstr("  STAT  0 (normal)\n"));
    EXPECT_THAT(text, HasSubstr("      MODE  0 (static)\n"));
    std::string lines = json_watcher->stdout_text();
    EXPECT_THAT(lines, HasSubstr("\"from\":\"192.0.2.100\",\"port\":4445,\"message\":{\"type\":\"LOOK\""));
    EXPECT_THAT(lines, HasSubstr("{\"type\":\"HNAM\",\"text\":\"device-1\"}"));
}

} // namespace
