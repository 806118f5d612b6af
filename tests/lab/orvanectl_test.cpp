// The configurator where technicians stand, through the library and through
// orvanectl as a person runs it. Device 1 (normal) sits on the lab bridge;
// device 2 first hangs on a cable of its own to the laptop "cfg", which has
// an address on each link and no default route; then it moves to the bridge
// in sleep mode, where the laptop "bare" has a link without any address.
// What the person sees is checked: output (text, --parsable, and --json
// against docs/orvanectl.schema.json), exit statuses, and the devices' stores.

#include "support/ipconf_device.hpp"
#include "support/lab.hpp"

#include "configurator/configurator.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using ::testing::HasSubstr;
using json = nlohmann::json;

namespace {

const std::string orvanectl = ORV_BUILD_DIR "/tools/orvanectl/orvanectl";
const std::string puid1 = "02:00:00:00:0D:01", puid2 = "02:00:00:00:0D:11";

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
        // Device 2 only on the cable to the laptop's second link.
        ASSERT_TRUE(lab->add_host("cfg"));
        ASSERT_TRUE(lab->add_link("cfg", "lab0", "02:00:00:00:0c:01", {"192.0.2.20/24"}));
        ASSERT_TRUE(lab->ip("cfg", {"link", "add", "lab1", "type", "veth", "peer", "name", "lab2", "netns",
                                    lab->netns(two->addresses().host)}));
        ASSERT_TRUE(lab->ip("cfg", {"addr", "add", "203.0.113.20/24", "dev", "lab1"}) && lab->set_up("cfg", "lab1", true));
        ASSERT_TRUE(lab->ip(two->addresses().host, {"addr", "add", "203.0.113.11/24", "dev", "lab2"}));
        for (const char *link : {"lab0", "lab1"})
            ASSERT_TRUE(lab->set_up(two->addresses().host, link, false));
        ASSERT_TRUE(lab->set_up(two->addresses().host, "lab2", true));
        ASSERT_TRUE(lab->add_host("bare"));
        ASSERT_TRUE(lab->add_link("bare", "lab0", "02:00:00:00:0c:09", {}));
        ASSERT_TRUE(one->start_service({"--notify-writer"}) && one->start_daemon());
        ASSERT_TRUE(two->start_service({"--notify-writer"}) && two->start_daemon({"-b", "lab2", "-u", puid2}));
        for (auto *device : {one.get(), two.get()})
            ASSERT_TRUE(device->daemon().wait_for_line("Ipconf socket bound", 10000)) << device->daemon_log();
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
    std::unique_ptr<lab::Process> start(const std::string &host, std::vector<std::string> args,
                                        const std::string &input = "", const std::string &tmp = "")
    {
        args.insert(args.begin(), orvanectl);
        return lab->start(host, args, {.env = {}, .tmp_dir = tmp, .stdin_data = input});
    }
    result ctl(const std::string &host, const std::vector<std::string> &args, const std::string &input = "",
               const std::string &tmp = "")
    {
        auto p = start(host, args, input, tmp);
        return p ? result{p->wait(60000), p->stdout_text(), p->stderr_text()} : result{-1, "", ""};
    }
    // The documents of a --json run (one per line for streams), each kept
    // for the schema check at the end.
    json documents(const result &run)
    {
        json all = json::array();
        if (run.out.starts_with("{\n"))
            all.push_back(json::parse(run.out, nullptr, false));
        else
            for (std::string::size_type at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1)
                all.push_back(json::parse(run.out.substr(at, end - at), nullptr, false));
        for (const auto &document : all)
            checked.push_back(document);
        return all;
    }
    std::string configure_args(const std::string &puid, const std::string &host_name)
    {
        return puid + " --user admin --password-stdin --hostname " + host_name;
    }
    static std::vector<std::string> words(const std::string &text)
    {
        std::vector<std::string> out;
        for (std::string::size_type at = 0, end; at < text.size(); at = end + 1)
            out.push_back(text.substr(at, (end = std::min(text.find(' ', at), text.size())) - at));
        return out;
    }

    std::unique_ptr<lab::Device> one, two;
    json checked = json::array();
};

TEST_F(OrvanectlLab, FindsConfiguresAndWatchesOnEveryLinkWithoutRouteOrAddress)
{
    const std::string password = std::string(lab::password) + "\n";
    // Through the library: no route, two links, each device heard on its own.
    {
        const auto in = lab->enter("cfg");
        ASSERT_TRUE(in.ok());
        const auto found = configurator::find({.timeout = std::chrono::seconds(2)});
        ASSERT_EQ(found.result, configurator::outcome::ok) << found.error;
        ASSERT_EQ(found.devices.size(), 2u);
        EXPECT_EQ(found.devices[0].puid, puid1);
        EXPECT_EQ(found.devices[0].interface, "lab0");
        EXPECT_EQ(found.devices[0].address, "192.0.2.10");
        EXPECT_EQ(found.devices[1].puid, puid2);
        EXPECT_EQ(found.devices[1].interface, "lab1");
        EXPECT_EQ(found.devices[1].host_name, "device-2");
    }

    // The same as a person runs it, while a watch records the exchange.
    auto watching = start("cfg", {"--json", "watch", "-t", "6"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    json discovered = documents(ctl("cfg", {"--json", "discover", "-t", "2"}))[0];
    ASSERT_EQ(discovered["devices"].size(), 2u) << discovered.dump(2);
    EXPECT_EQ(discovered["devices"][1]["interface"], "lab1");
    EXPECT_EQ(discovered["devices"][0]["interfaces"][1],
              json({{"name", "lab1"}, {"mac", "02:00:00:00:0D:02"}, {"link", "down"}, {"ipv4_method", "dhcp"},
                    {"address", nullptr}, {"netmask", nullptr}, {"gateway", nullptr}, {"broadcast", "0.0.0.0"},
                    {"dns", nullptr}, {"wins", "198.51.100.99"}}));
    result ok = ctl("cfg", words("--json configure " + configure_args("02:00:00:00:0d:01", "hall-sensor") +
                                 " --iface 02:00:00:00:0d:01 --static 192.0.2.21/24 --gateway 192.0.2.1"),
                    password);
    EXPECT_EQ(ok.status, 0) << ok.err << one->daemon_log();
    EXPECT_EQ(documents(ok)[0]["interface"], "lab0");
    result wrong = ctl("cfg", words("configure " + configure_args(puid2, "intruder")), "not-the-password\n");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err, "orvanectl configure: " + puid2 + ": ERROR: authentication error: invalid password or user name\n");
    ASSERT_TRUE(watching);
    EXPECT_EQ(watching->wait(10000), 0);
    const json watched = documents({0, watching->stdout_text(), ""});
    EXPECT_GE(watched.size(), 5u) << watching->stdout_text();
    result lines = ctl("cfg", {"--parsable", "discover", "-t", "1.5"});
    EXPECT_THAT(lines.out + lines.err, HasSubstr("device;" + puid1 + ";normal;hall-sensor;Sensor Hub;SH-200;HW-7;B;1.4.2;2;"
                                     "192.0.2.10;lab0\ninterface;" + puid1 + ";lab0;" + puid1 +
                                     ";up;static;192.0.2.21;255.255.255.0;192.0.2.1;0.0.0.0;192.0.2.53;\n"));
    EXPECT_THAT(ctl("cfg", {"discover", "-i", "lab1", "-t", "1"}).out,
                HasSubstr(puid2 + "  normal  device-2   Sensor Hub (SH-200)  HW-7 rev B  1.4.2     203.0.113.11  lab1\n"));

    // Ctrl-C while configure waits for the challenge: 130 at once, no text.
    auto waiting = start("cfg", words("configure " + configure_args("02:00:00:00:0d:99", "x")), password);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(waiting && waiting->signal(SIGINT));
    EXPECT_EQ(waiting->wait(1000), 130);
    EXPECT_EQ(waiting->stdout_text() + waiting->stderr_text(), "");

    // Device 2 moves to the bridge in sleep mode. The laptop without an
    // address finds both with raw frames and configures the normal one.
    two->daemon().stop();
    ASSERT_TRUE(lab->set_up(two->addresses().host, "lab0", true));
    ASSERT_TRUE(two->start_daemon({"-m", "sleep", "-u", puid2}));
    json raw = documents(ctl("bare", {"--json", "discover", "-t", "2"}))[0];
    ASSERT_EQ(raw["devices"].size(), 2u) << raw.dump(2);
    EXPECT_EQ(raw["devices"][0]["host_name"], "hall-sensor");
    EXPECT_EQ(raw["devices"][1]["mode"], "sleep");
    EXPECT_EQ(raw["devices"][1]["address"], "0.0.0.0");
    result raw_ok = ctl("bare", words("configure " + configure_args(puid1, "raw-set")), password);
    EXPECT_EQ(raw_ok.status, 0) << raw_ok.err << one->daemon_log();
    EXPECT_THAT(one->store_text(), HasSubstr("raw-set"));
    // Without CAP_NET_RAW raw mode is refused, saying how to grant it.
    auto capless = lab->start("bare", {"/usr/sbin/capsh", "--drop=cap_net_raw", "--", "-c", orvanectl + " discover"});
    ASSERT_TRUE(capless);
    EXPECT_EQ(capless->wait(10000), 2);
    EXPECT_THAT(capless->stderr_text(), HasSubstr("needs CAP_NET_RAW"));
    EXPECT_THAT(capless->stderr_text(), HasSubstr("setcap cap_net_raw+ep"));

    // browse on device 1 through its daemon's socket; not once the socket
    // belongs to another user.
    result browsed = ctl(one->addresses().host, {"--json", "browse", "-t", "1"}, "", one->private_tmp());
    EXPECT_EQ(browsed.status, 0) << browsed.err;
    documents(browsed);
    for (const auto &entry : std::filesystem::directory_iterator(one->private_tmp()))
        ASSERT_EQ(chown(entry.path().c_str(), 4242, 4242), 0);
    result planted = ctl(one->addresses().host, {"browse", "-t", "1"}, "", one->private_tmp());
    EXPECT_EQ(planted.status, 2);
    EXPECT_THAT(planted.err, HasSubstr("refusing /tmp/orvane_rpc_1.sock"));

    // Every --json document matches the documented schema.
    documents(ctl("cfg", {"--json", "dump"}, std::string("LOOK\0\0\0\0", 8)));
    const std::string file = lab->dir() + "/documents.json";
    std::ofstream(file) << checked.dump();
    EXPECT_EQ(std::system(("python3 -c 'import json, sys, jsonschema; s = json.load(open(sys.argv[1])); "
                           "[jsonschema.validate(d, s) for d in json.load(open(sys.argv[2]))]' " ORV_SOURCE_DIR
                           "/docs/orvanectl.schema.json " + file)
                              .c_str()),
              0)
        << checked.dump(1);
}

} // namespace
