// The daemon on a lab network, seen from a configurator on the same bridge:
// discovery, the receive path, sleep and not-configurable modes, and the
// configuration exchange with every refusal it answers. The device runs the
// configuration service on a private bus and orvaned -f; the configurator
// speaks through a UDP socket on port 4445 in its own namespace.
#include "support/ipconf_device.hpp"
#include "support/lab.hpp"

#include "ipconf/ipconf_msg.hpp"
#include "net/ip.hpp"
#include "util/tlv_ez.hpp"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

namespace {

using lab::bytes;

constexpr const char *device_puid = "02:00:00:00:0D:01";

class IpconfServer : public lab::DeviceTest {
protected:
    // Starts service and daemon and waits for the INFO it announces itself with.
    std::optional<bytes> start(const std::vector<std::string> &options = {},
                               const std::vector<std::string> &service_options = {})
    {
        if (!device->start_service(service_options) || !device->start_daemon(options))
            return std::nullopt;
        return peer->receive("INFO"_tlv, 10000);
    }

    // LOOK answered by exactly one INFO for the device.
    void expect_answers_look(const std::string &puid = device_puid)
    {
        peer->drain();
        ASSERT_TRUE(peer->send(take(ipconf_msg_build_look())));
        EXPECT_EQ(peer->collect("INFO"_tlv, 1500, puid).size(), 1u) << device->daemon_log();
    }

    // The ERR for the device that follows, with its text; it must name the configurator.
    std::string next_error(const std::string &puid = device_puid)
    {
        auto err = peer->receive("ERR"_tlv, 6000, puid);
        if (!err)
            return "(no ERR)";
        std::string text, address;
        EXPECT_TRUE(lab::error_of(*err, &text, &address));
        EXPECT_EQ(address, lab::configurator_address);
        return text;
    }

    static bytes take(uint8_t *message) { return lab::take_message(message); }
};

TEST_F(IpconfServer, AHungOrVanishedServiceCostsALookAtMostASecondAndIsRejoined)
{
    ASSERT_TRUE(start());
    lab::Process &service = *device->bus().service();
    // Stopped: each LOOK holds the loop for at most one call's second, then
    // the rest of its calls are not made.
    ASSERT_TRUE(service.signal(SIGSTOP));
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(peer->send(take(ipconf_msg_build_look())));
    EXPECT_TRUE(device->daemon().wait_for_line("Connection to Cendrix Dbus service lost", 5000));
    // The loop is free again: a LOOK comes back at once once the service does.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    peer->drain();
    ASSERT_TRUE(service.signal(SIGCONT));
    const auto answered_within = [&](int ms) {
        for (int waited = 0; waited < ms; waited += 250) {
            EXPECT_TRUE(peer->send(take(ipconf_msg_build_look())));
            if (peer->receive("INFO"_tlv, 250, device_puid))
                return true;
        }
        return false;
    };
    EXPECT_TRUE(answered_within(2000)) << device->daemon_log();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(6)) << "three LOOKs held the loop";

    // The bus and the service go away and come back at the same address.
    ASSERT_EQ(device->bus().stop_service(), 0);
    ASSERT_EQ(device->bus().stop_bus(), 0);
    ASSERT_TRUE(peer->send(take(ipconf_msg_build_look())));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(device->bus().start_bus());
    ASSERT_TRUE(device->bus().start_service());
    EXPECT_TRUE(answered_within(2000)) << device->daemon_log();
    EXPECT_EQ(device->count_lines("Connection to Cendrix Dbus service lost"), 2);
    EXPECT_EQ(device->count_lines("Connection to Cendrix Dbus service restored"), 2);
    EXPECT_EQ(device->daemon().stop(), 0);
}

long thread_count(pid_t pid)
{
    return std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task"), {});
}

TEST_F(IpconfServer, ReceivePathChecksSizeTypeAndStopsOnAnEmptyDatagram)
{
    // With both device links on the bridge the fragments of a large datagram
    // arrive twice and overlap, and the kernel drops them: one link only.
    ASSERT_TRUE(lab->set_up(device->addresses().host, "lab1", false));
    ASSERT_TRUE(start()) << device->daemon_log();
    peer->drain();

    // The largest datagram handled: a LOOK of 4095 bytes. One byte more is
    // dropped with a warning and gets no answer.
    const auto look_of_size = [](uint32_t size) {
        bytes look(size, 'x');
        const uint32_t header[2] = {htonl("LOOK"_tlv), htonl(size - 8)};
        std::memcpy(look.data(), header, sizeof header);
        return look;
    };
    ASSERT_TRUE(peer->send(look_of_size(4095)));
    EXPECT_TRUE(peer->receive("INFO"_tlv, 2000, device_puid));
    ASSERT_TRUE(peer->send(look_of_size(4096)));
    EXPECT_FALSE(peer->receive("INFO"_tlv, 1000));
    EXPECT_EQ(device->count_lines("packet too long"), 1);

    // Replies of devices and the TOLVANE prefix pass silently; another type
    // is one warning with its number.
    const std::string before = device->daemon_log();
    const std::string tolvane = "TOLVANE and whatever follows";
    for (const bytes &passing :
         {take(ipconf_msg_build_ok(device_puid, "192.0.2.1")),
          take(ipconf_msg_build_error(device_puid, "192.0.2.1", "x")), take(tlv_single_raw("CHAL"_tlv, nullptr, 0)),
          lab::expected_info(*device, "02:00:00:00:99:99", 0), bytes(tolvane.begin(), tolvane.end())})
        ASSERT_TRUE(peer->send(passing));
    // A LOOK after them: its answer shows that all of them were read.
    ASSERT_TRUE(peer->send(take(ipconf_msg_build_look())));
    EXPECT_TRUE(peer->receive("INFO"_tlv, 2000, device_puid));
    EXPECT_EQ(device->daemon_log(), before);

    ASSERT_TRUE(peer->send(take(tlv_single_raw(tlv_stringtype("WHAT"), "?", 1))));
    expect_answers_look();
    EXPECT_EQ(device->count_lines("unknown request type: " + std::to_string(tlv_stringtype("WHAT"))), 1);

    // An empty datagram stops the daemon like a failed receive.
    ASSERT_TRUE(peer->send(bytes{}));
    EXPECT_EQ(device->daemon().wait(5000), 1);
    const std::string log = device->daemon_log();
    for (const char *line : {"recv failed", "cannot receive UDP packet", "orvaned: stop"})
        EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;
}

bool has_udp_socket(pid_t pid)
{
    for (const char *table : {"udp", "udp6"}) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/net/" + table);
        std::string line;
        std::getline(in, line); // header
        if (std::getline(in, line))
            return true;
    }
    return false;
}

TEST_F(IpconfServer, SleepModeAnswersWithRawFramesOnEveryInterfaceAndRefusesConfiguration)
{
    const int capture = lab->open_in("cfg", [] { return socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP)); });
    ASSERT_GE(capture, 0);
    // A lower-case PUID is taken upper-cased.
    const std::string puid = "02:00:00:00:AA:BB";
    auto announced = start({"-m", "sleep", "-u", "02:00:00:00:aa:bb"});
    ASSERT_TRUE(announced) << device->daemon_log();
    const bytes expected = lab::expected_info(*device, puid, 1);
    EXPECT_EQ(*announced, expected);
    // No UDP socket in the device's namespace, where only the daemon and the
    // service run.
    EXPECT_FALSE(has_udp_socket(device->daemon().pid()));
    (void)lab::drain_socket(capture, 300);

    // A LOOK sent as an ordinary UDP broadcast: raw frames from each up
    // interface (their header bytes are checked in tests/unit/ip_test.cpp).
    // Both device links are on the bridge, so the daemon reads the LOOK twice
    // and each interface sends twice.
    peer->drain();
    ASSERT_TRUE(peer->send(take(ipconf_msg_build_look())));
    std::multiset<std::string> senders;
    for (const auto &[mac, packet] : lab::drain_socket(capture)) {
        const bool zero_source = packet[12] == 0 && packet[13] == 0 && packet[14] == 0 && packet[15] == 0;
        if (!zero_source)
            continue; // the configurator's own LOOK
        senders.insert(mac);
        EXPECT_EQ(bytes(packet.begin() + 28, packet.end()), expected);
    }
    close(capture);
    EXPECT_EQ(senders, (std::multiset<std::string>{device->addresses().mac0, device->addresses().mac0,
                                                   device->addresses().mac1, device->addresses().mac1}));
    // The kernel takes them as ordinary broadcasts as well.
    EXPECT_EQ(peer->collect("INFO"_tlv, 500, puid).size(), 4u);

    // Configuration requests for it are refused; others are not its business.
    ASSERT_TRUE(peer->send(lab::challenge_request(puid)));
    EXPECT_EQ(next_error(puid), "cannot be configured");
    lab::ConfRequest request{.puid = puid, .challenge = {1, 2, 3, 4}, .host_name = "other"};
    ASSERT_TRUE(peer->send(lab::conf_message(request)));
    EXPECT_EQ(next_error(puid), "cannot be configured");
    (void)peer->collect("ERR"_tlv, 500);
    ASSERT_TRUE(peer->send(lab::challenge_request("02:00:00:00:99:99")));
    EXPECT_FALSE(peer->receive("ERR"_tlv, 1000));
    EXPECT_FALSE(peer->receive("CHAL"_tlv, 10));
    EXPECT_EQ(device->daemon().stop(), 0);
}

TEST_F(IpconfServer, ChallengeAndEveryRefusalOfAConfLeaveTheStoreAlone)
{
    ASSERT_TRUE(start()) << device->daemon_log();
    const std::string store_before = device->store_text();
    ASSERT_FALSE(store_before.empty());
    peer->drain();

    // CHRQ for another device: nothing. For this one: CHAL with PUID, the
    // configurator's address and 4 challenge bytes.
    ASSERT_TRUE(peer->send(lab::challenge_request("02:00:00:00:99:99")));
    EXPECT_FALSE(peer->receive("CHAL"_tlv, 800));
    ASSERT_TRUE(peer->send(lab::challenge_request(device_puid)));
    auto chal = peer->receive("CHAL"_tlv, 3000);
    ASSERT_TRUE(chal);
    std::string address;
    const auto challenge = lab::challenge_of(*chal, &address);
    EXPECT_EQ(challenge.size(), 4u);
    EXPECT_EQ(address, lab::configurator_address);
    EXPECT_EQ(lab::puid_of(*chal), device_puid);

    lab::ConfRequest good{.puid = device_puid, .challenge = challenge, .host_name = "device-9"};

    // A CONF for another device (this PUID in lower case is another) is
    // ignored and does not use up the challenge.
    lab::ConfRequest elsewhere = good;
    elsewhere.puid = "02:00:00:00:0d:01";
    ASSERT_TRUE(peer->send(lab::conf_message(elsewhere)));
    EXPECT_FALSE(peer->receive("ERR"_tlv, 800));
    // Wrong password: refused, and the connection is used up.
    lab::ConfRequest wrong = good;
    wrong.secret = "guess";
    ASSERT_TRUE(peer->send(lab::conf_message(wrong)));
    EXPECT_EQ(next_error(), "authentication error: invalid password or user name");
    ASSERT_TRUE(peer->send(lab::conf_message(good)));
    EXPECT_EQ(next_error(), "no challenge requested, cannot authenticate");

    // Each with a fresh challenge. A stale one: a newer CHRQ from the same
    // address replaced it.
    const auto stale = lab::ask_challenge(*peer, device_puid);
    ASSERT_EQ(stale.size(), 4u);
    // A malformed second interface entry is dropped without an answer; the
    // refusals after it show that nothing stayed pending.
    const std::vector<std::pair<std::function<void(lab::ConfRequest &)>, std::string>> refusals = {
        {[](auto &r) {
             r.interfaces = {{.mac = "02:00:00:00:0D:02", .ipv4 = "198.51.100.7"}, {.mac = "02:00:00:00:0D"}};
         },
         "(no ERR)"},
        {[](auto &r) { r.user = "mallory"; }, "authentication error: invalid password or user name"},
        {[&](auto &r) { r.challenge = stale; }, "authentication error: invalid password or user name"},
        {[](auto &r) { r.user.clear(); }, "invalid configuration message"},
        {[](auto &r) { r.host_name.clear(); }, "no configuration parameters"},
        // What no host name or address can be never reaches the service.
        {[](auto &r) { r.host_name = "dev\xff\xfe"; }, "invalid configuration message"},
        {[](auto &r) { r.host_name = "; reboot"; }, "invalid configuration message"},
        {[](auto &r) { r.interfaces = {{.mac = "02:00:00:00:0D:01", .ipv4 = "`id`"}}; },
         "invalid configuration message"},
        {[](auto &r) { r.interfaces = {{.mac = "02:00:00:00:0D:01", .dns = "../../etc/passwd"}}; },
         "invalid configuration message"},
        {[](auto &r) {
             r.host_name.clear();
             r.interfaces = {{.mac = "02:00:00:00:77:77", .ipv4 = "192.0.2.77"}};
         },
         "cannot set interface configuration"},
    };
    for (const auto &[change, text] : refusals) {
        lab::ConfRequest request = good;
        request.challenge = lab::ask_challenge(*peer, device_puid);
        ASSERT_EQ(request.challenge.size(), 4u);
        change(request);
        ASSERT_TRUE(peer->send(lab::conf_message(request)));
        EXPECT_EQ(next_error(), text);
    }

    // The head does not parse: a PASS of 19 bytes after a valid PUID.
    ASSERT_EQ(lab::ask_challenge(*peer, device_puid).size(), 4u);
    tlv_writer *writer = tlv_write_open(nullptr, "CONF"_tlv);
    writer = tlv_nest_raw(writer, "PUID"_tlv, device_puid, 18);
    writer = tlv_nest_raw(writer, "USER"_tlv, "admin", 6);
    writer = tlv_nest_raw(writer, "PASS"_tlv, "0123456789012345678", 19);
    ASSERT_TRUE(peer->send(take(tlv_close_all(&writer))));
    EXPECT_EQ(next_error(), "configuration message parsing error");
    expect_answers_look();

    // After all of these no request is pending and nothing was written.
    EXPECT_EQ(device->store_text(), store_before);
    EXPECT_EQ(peer->collect("OK"_tlv, 300).size(), 0u);
    EXPECT_EQ(device->daemon().stop(), 0);
}

TEST_F(IpconfServer, RequestInEffectGetsOkAndARealChangeIsConfirmedWhenTheServiceSignalsIt)
{
    // The service applies writes after 5 seconds and then signals the writer.
    ASSERT_TRUE(start({}, {"--apply-delay", "5", "--notify-writer"})) << device->daemon_log();
    const std::string store_before = device->store_text();
    lab::ConfRequest same{.puid = device_puid, .host_name = "device-1"};
    same.interfaces = {{.mac = lab::upper_case(device->addresses().mac0), .ipv4 = device->addresses().ipv4_0}};
    same.challenge = lab::ask_challenge(*peer, device_puid);
    peer->drain();
    ASSERT_TRUE(peer->send(lab::conf_message(same)));
    auto ok = peer->receive("OK"_tlv, 6000, device_puid);
    ASSERT_TRUE(ok) << device->daemon_log();
    char *puid = nullptr, *address = nullptr;
    ASSERT_EQ(ipconf_msg_parse_ok(ok->data(), ok->size(), &puid, &address), 0);
    EXPECT_STREQ(address, lab::configurator_address);
    EXPECT_EQ(device->store_text(), store_before);

    lab::ConfRequest change{.puid = device_puid, .host_name = "device-2"};
    change.interfaces = {{.mac = lab::upper_case(device->addresses().mac1),
                          .ipv4_mode = 0,
                          .ipv4 = "198.51.100.77",
                          .netmask = "255.255.255.0"}};
    change.challenge = lab::ask_challenge(*peer, device_puid);
    peer->drain();
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(peer->send(lab::conf_message(change)));
    // While it is pending, any other request is refused.
    lab::ConfRequest other{.puid = device_puid, .host_name = "device-3"};
    other.challenge = lab::ask_challenge(*peer, device_puid);
    ASSERT_TRUE(peer->send(lab::conf_message(other)));
    EXPECT_EQ(next_error(), "a configuration request is already in progress");

    ok = peer->receive("OK"_tlv, 20000, device_puid);
    ASSERT_TRUE(ok) << device->daemon_log();
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(30)) << "not at the time-out";
    EXPECT_GE(device->count_lines("received SIGHUP"), 1);
    const std::string store = device->store_text();
    EXPECT_NE(store.find("device-2"), std::string::npos);
    EXPECT_NE(store.find("198.51.100.77"), std::string::npos);
    EXPECT_EQ(store.find("device-3"), std::string::npos);

    // The device now describes itself with the new host name.
    peer->drain();
    ASSERT_TRUE(peer->send(take(ipconf_msg_build_look())));
    auto info = peer->receive("INFO"_tlv, 3000, device_puid);
    ASSERT_TRUE(info);
    EXPECT_NE(std::string(info->begin(), info->end()).find(std::string("device-2") + '\0'), std::string::npos);
    // Through all of it, one thread.
    EXPECT_EQ(thread_count(device->daemon().pid()), 1);
}

} // namespace
