// orvanectl driven as a person would, against the real system: two devices,
// each with its own private bus, cendrixd --notify-writer and orvaned, and a
// configurator namespace, all on one bridge. What the person sees is checked:
// the output (text and JSON), the exit status, and what the devices' stores
// and logs say happened.

#include "support/ipconf_device.hpp"
#include "support/lab.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using ::testing::HasSubstr;
using ::testing::Not;
using json = nlohmann::json;

namespace {

const std::string orvanectl = ORV_BUILD_DIR "/tools/orvanectl/orvanectl";

class OrvanectlLab : public lab::LabTest {
protected:
    void SetUp() override
    {
        lab::LabTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        one = std::make_unique<lab::Device>(*lab, 0);
        two = std::make_unique<lab::Device>(*lab, 1);
        two->store.host_name = "device-2";
        ASSERT_TRUE(lab->add_host("cfg"));
        ASSERT_TRUE(lab->add_link("cfg", "lab0", "02:00:00:00:0c:01", {std::string(lab::configurator_address) + "/24"}));
        // Like a laptop: a default route, the way out for a broadcast sent without -i.
        ASSERT_TRUE(lab->ip("cfg", {"route", "add", "default", "via", "192.0.2.1", "dev", "lab0"}));
        for (auto *device : {one.get(), two.get()}) {
            ASSERT_TRUE(device->start_service({"--notify-writer"}));
            ASSERT_TRUE(device->start_daemon());
            ASSERT_TRUE(device->daemon().wait_for_line("Ipconf socket bound to lab0", 10000)) << device->daemon_log();
        }
    }
    void TearDown() override
    {
        one.reset();
        two.reset();
        lab::LabTest::TearDown();
    }

    struct result {
        int status;
        std::string out, err;
    };

    std::unique_ptr<lab::Process> start(std::vector<std::string> args, const std::string &input = "",
                                        const std::string &host = "cfg")
    {
        args.insert(args.begin(), orvanectl);
        return lab->start(host, args, {.env = {}, .tmp_dir = {}, .stdin_data = input});
    }
    result ctl(const std::vector<std::string> &args, const std::string &input = "")
    {
        auto p = start(args, input);
        return p ? result{p->wait(60000), p->stdout_text(), p->stderr_text()} : result{-1, "", ""};
    }

    // What discover should say about a device whose store is unchanged.
    static json expected_device(const lab::Device &device)
    {
        const auto &a = device.addresses();
        return {{"puid", lab::upper_case(a.mac0)}, {"mode", "normal"}, {"host_name", device.store.host_name},
                {"product_name", "Sensor Hub"}, {"product_id", "SH-200"}, {"hardware_id", "HW-7"},
                {"hardware_revision", "B"}, {"software_version", "1.4.2"}, {"protocol", 2}, {"address", a.ipv4_0},
                {"interfaces",
                 {{{"name", "lab0"}, {"mac", lab::upper_case(a.mac0)}, {"link", "up"}, {"ipv4_method", "static"},
                   {"address", a.ipv4_0}, {"netmask", "255.255.255.0"}, {"gateway", "192.0.2.1"},
                   {"broadcast", "0.0.0.0"}, {"dns", "192.0.2.53"}, {"wins", nullptr}},
                  {{"name", "lab1"}, {"mac", lab::upper_case(a.mac1)}, {"link", "down"}, {"ipv4_method", "dhcp"},
                   {"address", nullptr}, {"netmask", nullptr}, {"gateway", nullptr}, {"broadcast", "0.0.0.0"},
                   {"dns", nullptr}, {"wins", "198.51.100.99"}}}}};
    }
    static const json *find(const json &devices, const lab::Device &device)
    {
        for (const auto &d : devices)
            if (d.is_object() && d["puid"] == lab::upper_case(device.addresses().mac0))
                return &d;
        return nullptr;
    }

    std::unique_ptr<lab::Device> one, two;
};

TEST_F(OrvanectlLab, DiscoverListsBothDevicesOnceWithTheirStoresValues)
{
    auto finder = start({"--json", "discover", "-t", "2"});
    ASSERT_TRUE(finder);
    // A second INFO from each device (SIGHUP) while discover listens: still one entry each.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    one->daemon().signal(SIGHUP);
    two->daemon().signal(SIGHUP);
    ASSERT_EQ(finder->wait(10000), 0) << finder->stderr_text();
    auto devices = json::parse(finder->stdout_text(), nullptr, false);
    ASSERT_TRUE(devices.is_array()) << finder->stdout_text();
    EXPECT_EQ(devices.size(), 2u) << devices.dump(2);
    for (const auto *device : {one.get(), two.get()}) {
        const json *found = find(devices, *device);
        ASSERT_NE(found, nullptr) << devices.dump(2);
        EXPECT_EQ(*found, expected_device(*device));
    }

    result table = ctl({"discover", "-i", "lab0", "-t", "1"});
    EXPECT_EQ(table.status, 0) << table.err;
    for (const auto *device : {one.get(), two.get()}) {
        const auto &a = device->addresses();
        const std::string puid = lab::upper_case(a.mac0);
        EXPECT_THAT(table.out, HasSubstr(puid + "  normal  " + device->store.host_name +
                                         "   Sensor Hub (SH-200)  HW-7 rev B  1.4.2     " + a.ipv4_0 + "\n"));
        EXPECT_THAT(table.out, HasSubstr("    lab0  " + puid + "  link up  static  " + a.ipv4_0 +
                                         "/255.255.255.0  gateway 192.0.2.1  dns 192.0.2.53  wins -\n"));
        EXPECT_THAT(table.out, HasSubstr("    lab1  " + lab::upper_case(a.mac1) +
                                         "  link down  dhcp  -  gateway -  dns -  wins 198.51.100.99\n"));
    }
}

TEST_F(OrvanectlLab, ConfigureReportsOkRefusalsTimeOutsAndRefusesBadArgumentsBeforeSending)
{
    // MACs typed in lower case, as `ip link` shows them; the password on stdin.
    const auto &a1 = one->addresses();
    result ok = ctl({"configure", a1.mac0, "--user", lab::login, "--password-stdin", "--hostname", "hall-sensor",
                     "--iface", a1.mac0, "--static", "192.0.2.21/24", "--gateway", "192.0.2.1", "-i", "lab0"},
                    std::string(lab::password) + "\n");
    EXPECT_EQ(ok.status, 0) << ok.err << one->daemon_log();
    EXPECT_EQ(ok.out, lab::upper_case(a1.mac0) + ": OK, the new configuration is in force\n");

    // Device 2's second interface, the password from a file, the answer as JSON.
    const auto &a2 = two->addresses();
    const std::string password_file = lab->dir() + "/password";
    std::ofstream(password_file) << lab::password << "\r\nsecond line ignored\n";
    result json_ok = ctl({"--json", "configure", a2.mac0, "-u", lab::login, "--password-file", password_file,
                          "--iface", a2.mac1, "--static", "198.51.100.42/24", "--wins", "198.51.100.98"});
    EXPECT_EQ(json_ok.status, 0) << json_ok.err << two->daemon_log();
    EXPECT_EQ(json::parse(json_ok.out, nullptr, false),
              json({{"puid", lab::upper_case(a2.mac0)}, {"result", "ok"}})) << json_ok.out;

    result again = ctl({"--json", "discover", "-t", "1.5"});
    auto devices = json::parse(again.out, nullptr, false);
    const json *renamed = find(devices, *one);
    const json *readdressed = find(devices, *two);
    ASSERT_TRUE(renamed && readdressed) << again.out;
    EXPECT_EQ((*renamed)["host_name"], "hall-sensor");
    EXPECT_EQ((*renamed)["interfaces"][0]["address"], "192.0.2.21") << renamed->dump(2);
    EXPECT_EQ((*readdressed)["interfaces"][1]["ipv4_method"], "static") << readdressed->dump(2);
    EXPECT_EQ((*readdressed)["interfaces"][1]["address"], "198.51.100.42");
    EXPECT_EQ((*readdressed)["interfaces"][1]["wins"], "198.51.100.98");
    EXPECT_THAT(one->store_text(), HasSubstr("hall-sensor"));

    // A wrong password: the device's ERROR text, status 1, nothing changed.
    result wrong = ctl({"configure", a2.mac0, "--user", lab::login, "--password-stdin", "--hostname", "intruder"},
                       "not-the-password\n");
    EXPECT_EQ(wrong.status, 1) << wrong.err;
    EXPECT_EQ(wrong.err, "orvanectl configure: " + lab::upper_case(a2.mac0) +
                             ": ERROR: authentication error: invalid password or user name\n");
    EXPECT_THAT(two->store_text(), Not(HasSubstr("intruder")));

    // Nobody has this PUID: status 2 once the time given is up.
    result silent = ctl({"configure", "02:00:00:00:0d:99", "--user", lab::login, "--password-stdin", "--hostname",
                         "x", "-t", "1"},
                        std::string(lab::password) + "\n");
    EXPECT_EQ(silent.status, 2);
    EXPECT_THAT(silent.err, HasSubstr("no challenge from 02:00:00:00:0D:99"));

    // Malformed arguments: refused with a message naming them, and no device hears a thing.
    const int asked_one = one->count_lines("Received"), asked_two = two->count_lines("Received");
    auto conf = [&](std::vector<std::string> extra) {
        std::vector<std::string> args{"configure", a1.mac0, "-u", lab::login, "--password-stdin"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {conf({"--iface", "02:00:00:00:0d", "--dhcp"}), "--iface"},
        {conf({"--iface", a1.mac0, "--static", "192.0.2.21/40"}), "prefix"},
        {conf({"--hostname", "bad_name"}), "--hostname"},
        {{"configure", "not-a-puid", "-u", "admin", "--password-stdin", "--hostname", "x"}, "PUID"},
        {{"discover", "-t", "never"}, "-t"},
    };
    for (const auto &[args, named] : cases) {
        result refused = ctl(args, std::string(lab::password) + "\n");
        EXPECT_EQ(refused.status, 2) << named;
        EXPECT_THAT(refused.err, HasSubstr(named));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(one->count_lines("Received"), asked_one) << one->daemon_log();
    EXPECT_EQ(two->count_lines("Received"), asked_two) << two->daemon_log();
}

// orvanectl serve in the configurator's namespace, reached over its loopback.
class ServeLab : public OrvanectlLab {
protected:
    void SetUp() override
    {
        OrvanectlLab::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        server = start({"serve", "-i", "lab0"});
        ASSERT_TRUE(server && server->wait_for_line("page at http://127.0.0.1:4446/", 10000)) << server->stderr_text();
    }
    struct reply {
        int status = 0;
        json body;
    };
    // One plain HTTP/1.1 exchange; `head` adds header lines ("Name: value\r\n").
    reply http(const std::string &method, const std::string &path, const std::string &body = "",
               const std::string &head = "", const std::string &host = "127.0.0.1:4446")
    {
        int fd = lab->open_in("cfg", [] {
            int s = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in to{.sin_family = AF_INET, .sin_port = htons(4446), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
            if (s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
                close(s), s = -1;
            return s;
        });
        std::string text = method + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n" + head +
                           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        std::string got;
        if (fd >= 0 && send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
            char buffer[4096];
            pollfd wanted{fd, POLLIN, 0};
            for (ssize_t n = 1; n > 0 && poll(&wanted, 1, 60000) == 1;)
                if ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
                    got.append(buffer, static_cast<size_t>(n));
        }
        if (fd >= 0)
            close(fd);
        size_t split = got.find("\r\n\r\n");
        if (got.rfind("HTTP/1.1 ", 0) != 0 || split == std::string::npos)
            return {};
        return {std::stoi(got.substr(9, 3)), json::parse(got.substr(split + 4), nullptr, false)};
    }
    std::unique_ptr<lab::Process> server;
};

TEST_F(ServeLab, ApiListsDevicesAndRefusesForeignHostsRequestsWithoutTokenAndBadFields)
{
    reply session = http("GET", "/api/session");
    ASSERT_EQ(session.status, 200);
    const std::string token = session.body.value("token", "");
    EXPECT_EQ(token.size(), 32u) << session.body.dump();
    const std::string with_token = "X-Orvane-Token: " + token + "\r\n";
    EXPECT_EQ(http("GET", "/api/devices").body, json({{"schema", 1}, {"devices", json::array()}, {"discovered_at", nullptr}}));

    reply found = http("POST", "/api/discover", "{}", with_token);
    ASSERT_EQ(found.status, 200) << found.body.dump();
    ASSERT_EQ(found.body["devices"].size(), 2u) << found.body.dump(2);
    for (const auto *device : {one.get(), two.get()}) {
        json expected = expected_device(*device);
        expected["heard_on"] = "lab0";
        EXPECT_EQ(*find(found.body["devices"], *device), expected);
    }
    EXPECT_EQ(http("GET", "/api/devices").body["devices"], found.body["devices"]);

    // Refused before anything goes on the wire.
    const int asked_one = one->count_lines("Received"), asked_two = two->count_lines("Received");
    const std::string order = json({{"puid", one->addresses().mac0}, {"user", lab::login}, {"password", lab::password},
                                    {"host_name", "hijacked"}}).dump();
    for (const auto &[host, head, status] : std::vector<std::tuple<std::string, std::string, int>>{
             {"rebound.example:4446", with_token, 403}, {"localhost:4447", with_token, 403},
             {"127.0.0.1:4446", "", 403}, {"127.0.0.1:4446", "X-Orvane-Token: " + std::string(32, '0') + "\r\n", 403}}) {
        reply refused = http("POST", "/api/configure", order, head, host);
        EXPECT_EQ(refused.status, status) << host << refused.body.dump();
        EXPECT_THAT(refused.body.value("error", ""), HasSubstr("refused")) << host;
    }
    EXPECT_EQ(http("GET", "/", "", "", "rebound.example:4446").status, 403);
    EXPECT_EQ(http("GET", "/", "", "", "localhost:4446").status, 200);
    const std::vector<std::pair<json, std::string>> bad = {
        {{{"puid", "02:00"}, {"user", "admin"}, {"password", "x"}, {"host_name", "h"}}, "puid"},
        {{{"puid", one->addresses().mac0}, {"user", "admin"}, {"password", "x"}, {"host_name", "bad_name"}}, "host_name"},
        {{{"puid", one->addresses().mac0}, {"user", "admin"}, {"password", "x"},
          {"interfaces", {{{"mac", one->addresses().mac0}, {"method", "static"}, {"address", "192.0.2.21/40"}}}}}, "prefix"},
        {{{"puid", one->addresses().mac0}, {"user", "admin"}, {"host_name", "h"}}, "password"},
        {{{"puid", one->addresses().mac0}, {"user", "admin"}, {"password", "x"}}, "nothing to configure"},
        {"not an object", "JSON object"},
    };
    for (const auto &[body, named] : bad) {
        reply refused = http("POST", "/api/configure", body.dump(), with_token);
        EXPECT_EQ(refused.status, 400) << named;
        EXPECT_THAT(refused.body.value("error", ""), HasSubstr(named));
    }
    EXPECT_EQ(http("POST", "/api/configure", "{\"puid\": [", with_token).status, 400);
    EXPECT_EQ(http("POST", "/api/configure", std::string(20000, 'x'), with_token).status, 413);
    EXPECT_EQ(http("GET", "/api/nothing").status, 404);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(one->count_lines("Received"), asked_one) << one->daemon_log();
    EXPECT_EQ(two->count_lines("Received"), asked_two) << two->daemon_log();
    EXPECT_THAT(server->stderr_text(), Not(HasSubstr(lab::password)));

    // Watch: a SIGHUP's INFO shows up in the next polls, decoded.
    one->daemon().signal(SIGHUP);
    json seen;
    for (int poll = 0; poll < 5 && seen.empty(); ++poll) {
        reply watched = http("GET", "/api/watch?after=0");
        for (const auto &message : watched.body["messages"])
            if (message["message"]["type"] == "INFO" && message["interface"] == "lab0")
                seen = message;
    }
    EXPECT_EQ(seen.value("from", ""), one->addresses().ipv4_0) << seen.dump();
}

TEST_F(ServeLab, PageInChromiumShowsDevicesConfiguresOneAndShowsARefusal)
{
    const std::string script = ORV_SOURCE_DIR "/tests/browser/page_test.mjs";
    if (access("/usr/bin/chromium", X_OK) != 0 || access(ORV_SOURCE_DIR "/tests/browser/node_modules", F_OK) != 0)
        GTEST_SKIP() << "chromium or puppeteer-core missing: run scripts/setup";
    const auto &a1 = one->addresses(), &a2 = two->addresses();
    json expected = {
        {"devices", {{{"puid", lab::upper_case(a1.mac0)}, {"host_name", "device-1"}, {"address", a1.ipv4_0}},
                     {{"puid", lab::upper_case(a2.mac0)}, {"host_name", "device-2"}, {"address", a2.ipv4_0}}}},
        {"configure", {{"puid", lab::upper_case(a1.mac0)}, {"mac", lab::upper_case(a1.mac0)}, {"host_name", "hall-sensor"},
                       {"address", "192.0.2.21/24"}, {"user", lab::login}, {"password", lab::password}}},
        {"refused", {{"puid", lab::upper_case(a2.mac0)}, {"password", "not-the-password"},
                     {"error", "authentication error: invalid password or user name"}}}};
    auto browser = lab->start("cfg", {"/usr/bin/env", "node", script, "http://127.0.0.1:4446/", expected.dump(),
                                      getenv("ORV_PAGE_SCREENSHOT") ? getenv("ORV_PAGE_SCREENSHOT") : ""});
    ASSERT_TRUE(browser);
    EXPECT_EQ(browser->wait(110000), 0) << browser->stdout_text() << browser->stderr_text() << server->stderr_text();
    EXPECT_THAT(one->store_text(), HasSubstr("hall-sensor"));
    EXPECT_THAT(two->store_text(), Not(HasSubstr("intruder")));
}

} // namespace
