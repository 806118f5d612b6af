// The daemon on a lab network, seen from a configurator on the same bridge:
// the receive path, the configuration exchange with every refusal it
// answers, a hung or vanished configuration service, and sleep mode. The
// device runs the configuration service on a private bus and orvaned -f; the
// configurator speaks through the configurator library in its own namespace.
#include "support/ipconf_device.hpp"

#include "ipconf/auth_msg.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "ipconf/product_record.hpp"
#include "lib/cendrix/cendrix.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr const char *device_puid = "02:00:00:00:0D:01";

struct IpconfServer : lab::DeviceTest {
    // The device's INFO answering a LOOK (a new one every 250 ms), if one
    // comes within ms.
    std::optional<bytes> answered_within(int ms)
    {
        std::optional<bytes> info;
        for (int waited = 0; waited < ms && !info; waited += 250)
            info = peer->look(250, device_puid);
        return info;
    }

    // The text of the next ERR for the device (that it names the configurator
    // is the library's check, in configure).
    std::string next_error(const std::string &puid = device_puid)
    {
        auto err = peer->receive("ERR"_tlv, 6000, puid);
        char *from = nullptr, *address = nullptr, *text = nullptr;
        const bool parsed = err && ipconf_msg_parse_error(err->data(), err->size(), &from, &address, &text) == 0;
        return parsed && text != nullptr ? text : "(no ERR)";
    }

    // The challenge of the CHAL answering a new request: the 4 bytes it ends
    // with (whether it is for us is the library's check, in configure).
    bytes challenge()
    {
        peer->drain();
        const auto chal = peer->send(take(auth_msg_build_challenge_request(device_puid)))
                              ? peer->receive("CHAL"_tlv, 3000, device_puid)
                              : std::nullopt;
        return chal ? bytes(chal->end() - 4, chal->end()) : bytes{};
    }
};

TEST_F(IpconfServer, ServesChecksEveryRequestSurvivesItsServiceAndStopsOnAnEmptyDatagram)
{
    // With both device links on the bridge the fragments of a large datagram
    // arrive twice and overlap, and the kernel drops them: one link only.
    ASSERT_TRUE(lab->set_up(device->addresses().host, "lab1", false));
    // The service applies writes after 5 seconds and then signals the writer.
    ASSERT_TRUE(device->start_service({"--apply-delay", "5", "--notify-writer"}) && device->start_daemon());
    const auto announced = peer->receive("INFO"_tlv, 10000);
    ASSERT_TRUE(announced) << device->daemon_log();
    const std::string store_before = device->store_text();

    // The largest datagram handled: a LOOK of 4095 bytes. One byte more is
    // dropped with a warning and gets no answer.
    ASSERT_TRUE(peer->send(tlv("LOOK", bytes(4087, 'x'))));
    EXPECT_TRUE(peer->receive("INFO"_tlv, 2000, device_puid));
    ASSERT_TRUE(peer->send(tlv("LOOK", bytes(4088, 'x'))));
    EXPECT_FALSE(peer->receive("INFO"_tlv, 1000));
    EXPECT_EQ(device->count_lines("packet too long"), 1);

    // Replies of devices and the TOLVANE prefix pass silently; another type
    // is one warning with its number. The answer to a LOOK after them shows
    // that all of them were read.
    const std::string before = device->daemon_log();
    for (const bytes &passing : {take(ipconf_msg_build_ok(device_puid, "192.0.2.1")),
                                 take(ipconf_msg_build_error(device_puid, "192.0.2.1", "x")), tlv("CHAL"), *announced,
                                 text("TOLVANE and whatever follows"), tlv("WHAT", {'?'})})
        ASSERT_TRUE(peer->send(passing));
    EXPECT_TRUE(answered_within(1500));
    EXPECT_EQ(device->daemon_log(), before + "orvaned: unknown request type: 1464353108\n"); // "WHAT"

    // CHRQ for another device: nothing. A CONF for another device (this PUID
    // in lower case is another) is ignored and leaves the challenge, which a
    // CONF whose head does not parse (a PASS of 19 bytes) uses up.
    ASSERT_TRUE(peer->send(take(auth_msg_build_challenge_request("02:00:00:00:99:99"))));
    EXPECT_FALSE(peer->receive("CHAL"_tlv, 800));
    const auto good = request(device_puid, "device-9");
    ASSERT_EQ(challenge().size(), 4u);
    ASSERT_TRUE(peer->send(configurator::build_conf(request("02:00:00:00:0d:01", "device-9"), bytes(4))));
    EXPECT_FALSE(peer->receive("ERR"_tlv, 800));
    ASSERT_TRUE(peer->send(
        tlv("CONF", cat({tlv("PUID", text(device_puid)), tlv("USER", text(lab::login)), tlv("PASS", bytes(19))}))));
    EXPECT_EQ(next_error(), "configuration message parsing error");
    // A stale challenge: a newer request from the same address replaced it.
    const bytes stale = challenge();
    ASSERT_EQ(stale.size(), 4u);
    ASSERT_EQ(challenge().size(), 4u);
    ASSERT_TRUE(peer->send(configurator::build_conf(good, stale)));
    EXPECT_EQ(next_error(), "authentication error: invalid password or user name");

    // The library's whole exchange for each of these. A malformed second
    // interface entry is dropped without an answer; the refusals after it
    // show that nothing stayed pending. What no host name or address can be
    // never reaches the service, and only a sender who logged in learns it
    // was refused. A wrong password uses up the challenge.
    const std::vector<std::pair<std::function<void(configurator::configuration &)>, std::string>> refusals = {
        {[](auto &r) {
             r.interfaces = {{.mac = "02:00:00:00:0D:02", .address = "198.51.100.7"}, {.mac = "02:00:00:00:0D"}};
         },
         ""},
        {[](auto &r) { r.user = "mallory"; }, "authentication error: invalid password or user name"},
        {[](auto &r) { r.user.clear(); }, "invalid configuration message"},
        {[](auto &r) { r.host_name.clear(); }, "no configuration parameters"},
        {[](auto &r) { r.host_name = "caf\xe9"; }, "cannot set hostname"},
        {[](auto &r) { r.host_name = "; reboot"; }, "cannot set hostname"},
        {[](auto &r) { r.interfaces = {{.mac = device_puid, .address = "`id`"}}; },
         "cannot set interface configuration"},
        {[](auto &r) {
             r.host_name = "caf\xe9";
             r.password_hash = configurator::password_hash("guess");
         },
         "authentication error: invalid password or user name"},
        {[](auto &r) { r.interfaces = {{.mac = device_puid, .dns = "../../etc/passwd"}}; },
         "cannot set interface configuration"},
        {[](auto &r) {
             r.host_name.clear();
             r.interfaces = {{.mac = "02:00:00:00:77:77", .address = "192.0.2.77"}};
         },
         "cannot set interface configuration"},
        {[](auto &r) { r.password_hash = configurator::password_hash("guess"); },
         "authentication error: invalid password or user name"},
    };
    for (const auto &[change, text] : refusals) {
        auto refused = good;
        change(refused);
        const auto answer = configure(refused);
        EXPECT_EQ(answer.result, text.empty() ? configurator::outcome::timeout : configurator::outcome::refused)
            << text;
        EXPECT_EQ(answer.device_error, text) << answer.error;
    }
    peer->drain();
    ASSERT_TRUE(peer->send(configurator::build_conf(good, bytes(4))));
    EXPECT_EQ(next_error(), "no challenge requested, cannot authenticate");

    // Nothing was written, and a request for what is in effect gets OK at once.
    EXPECT_EQ(configure(request(device_puid, "device-1")).result, configurator::outcome::ok) << device->daemon_log();
    EXPECT_EQ(device->store_text(), store_before);

    // A real change: while it is pending any other request is refused, and
    // the service's signal confirms it well before the time-out.
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(peer->send(configurator::build_conf(request(device_puid, "device-2"), challenge())));
    EXPECT_EQ(configure(request(device_puid, "device-3")).device_error,
              "a configuration request is already in progress");
    auto ok = peer->receive("OK"_tlv, 20000, device_puid);
    ASSERT_TRUE(ok) << device->daemon_log();
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 30s) << "not at the time-out";
    // It names the configurator (the library would take one that names none).
    EXPECT_NE(std::string(ok->begin(), ok->end()).find(std::string(lab::configurator_address) + '\0'),
              std::string::npos);
    const std::string store = device->store_text();
    EXPECT_NE(store.find("device-2"), std::string::npos);
    EXPECT_EQ(store.find("device-3"), std::string::npos);

    // The service stopped: a LOOK is answered from the kept INFO, without a
    // call. Once an address change has made it stale, each LOOK holds the
    // loop for at most one call's second, then the rest of its calls are not
    // made, and a LOOK comes back at once once the service does.
    ASSERT_TRUE(device->bus().service()->signal(SIGSTOP));
    EXPECT_TRUE(answered_within(250)) << device->daemon_log();
    ASSERT_TRUE(lab->ip(device->addresses().host, {"addr", "add", "192.0.2.99/32", "dev", "lab0"}));
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(peer->send(take(ipconf_msg_build_look())));
    EXPECT_TRUE(device->daemon().wait_for_line("Connection to Cendrix Dbus service lost", 5000));
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(device->bus().service()->signal(SIGCONT));
    EXPECT_TRUE(answered_within(2000)) << device->daemon_log();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 6s) << "three LOOKs held the loop";

    // The bus and the service go away and come back at the same address, the
    // service now without a host name: the INFO then has none either, not
    // the one it had.
    ASSERT_EQ(device->bus().stop_service(), 0);
    ASSERT_EQ(device->bus().stop_bus(), 0);
    ASSERT_TRUE(peer->send(take(ipconf_msg_build_look())));
    std::this_thread::sleep_for(300ms);
    device->store.host_name = "";
    ASSERT_TRUE(device->start_service());
    const auto info = answered_within(2000);
    ASSERT_TRUE(info) << device->daemon_log();
    EXPECT_EQ(std::string(info->begin(), info->end()).find("HNAM"), std::string::npos);
    EXPECT_EQ(device->count_lines("Connection to Cendrix Dbus service lost"), 2);
    EXPECT_EQ(device->count_lines("Connection to Cendrix Dbus service restored"), 2);
    // Through all of it, one thread.
    const std::string status = lab::read_file("/proc/" + std::to_string(device->daemon().pid()) + "/status");
    EXPECT_NE(status.find("Threads:\t1\n"), std::string::npos) << status;

    // An empty datagram stops the daemon like a failed receive.
    ASSERT_TRUE(peer->send(bytes{}));
    EXPECT_EQ(device->daemon().wait(5000), 1);
    for (const char *line : {"recv failed", "cannot receive UDP packet", "orvaned: stop"})
        EXPECT_EQ(device->count_lines(line), 1) << line << " in\n" << device->daemon_log();
}

// The host name and the number of interfaces an INFO shows.
std::pair<std::string, int> shown(const std::optional<bytes> &info)
{
    if (!info)
        return {"(no INFO)", 0};
    bytes copy = *info;
    uint8_t *cursor = copy.data();
    size_t avail = copy.size();
    product_info product{};
    uint8_t protocol = 0;
    if (ipconf_msg_parse_info(&cursor, &avail, &product, &protocol) != 0)
        return {"(unparsed INFO)", 0};
    const std::string host_name = product.host_name != nullptr ? product.host_name : "";
    int interfaces = 0;
    for (interface_conf entry{}; avail != 0 && ipconf_msg_parse_get_interface_from_info(&cursor, &avail, &entry) == 0;)
        ++interfaces;
    return {host_name, interfaces};
}

// The device keeps its INFO while nothing it shows changes, yet every write
// the service has shown (at once, or after --apply-delay) and every address
// leaving a link is in the very next answer; a service that does not announce
// its changes is read at every LOOK. Paced, two configurators asking 1 ms
// apart once the budget is spent are both answered by one INFO, on a UDP
// socket and on raw frames (sleep mode, which refuses configuration), from a
// daemon that runs as its unit runs it: an unprivileged user with CAP_NET_RAW
// and no other capability.
TEST_F(IpconfServer, EveryChangeIsInTheNextInfoAndPacedAskersShareOne)
{
    ASSERT_TRUE(device->start_service() && device->start_daemon());
    ASSERT_TRUE(peer->receive("INFO"_tlv, 10000)) << device->daemon_log();
    cendrix_context writer{};
    ASSERT_EQ(cendrix_init(&writer), 0);
    const auto write_host_name = [&](const std::string &name) {
        EXPECT_EQ(cendrix_reset(&writer), 0);
        EXPECT_EQ(cendrix_set_property_string(&writer, "hostname", name.c_str()), 0);
        EXPECT_EQ(cendrix_set_config(&writer, 17), 0);
    };
    const auto next_answer = [&] { return shown(peer->look(2000, device_puid)); };
    for (int round = 0; round < 100; ++round) {
        const std::string name = "w" + std::to_string(round);
        write_host_name(name);
        ASSERT_EQ(next_answer(), std::make_pair(name, 2)) << "round " << round;
    }
    ASSERT_TRUE(lab->ip(device->addresses().host, {"addr", "flush", "dev", "lab1"}));
    EXPECT_EQ(next_answer(), std::make_pair(std::string("w99"), 1));

    // Held back by the service for a second: the next LOOK once it shows.
    // Then a service that announces nothing: every LOOK reads afresh.
    for (int round = 0; round < 4; ++round) {
        if (round == 0 || round == 2) {
            ASSERT_EQ(device->bus().stop_service(), 0);
            std::vector<std::string> options = {"--apply-delay", "1"};
            if (round == 2)
                options.emplace_back("--no-change-signal");
            ASSERT_TRUE(device->bus().start_service(options));
        }
        const std::string name = "late" + std::to_string(round);
        write_host_name(name);
        char *visible = nullptr;
        for (int polls = 0; polls < 40 && (visible == nullptr || name != visible); ++polls) {
            std::free(visible);
            std::this_thread::sleep_for(100ms);
            visible = cendrix_get_config(&writer, 17) == 0 ? cendrix_get_property_string(&writer, "hostname") : nullptr;
        }
        std::free(visible);
        EXPECT_EQ(next_answer().first, name) << device->daemon_log();
    }
    ASSERT_EQ(cendrix_close(&writer), 0);

    // Paced to 4 a second with a burst of one: the answer to the first LOOK
    // spends the budget, and the two LOOKs after it share the next INFO.
    device->daemon_env = {"ORVANED_INFO_RATE=4", "ORVANED_INFO_BURST=1"};
    ASSERT_EQ(device->daemon().stop(), 0);
    // nobody reaches the bus and makes its RPC socket in its /tmp.
    namespace fs = std::filesystem;
    fs::permissions(lab->dir(), fs::perms::others_exec, fs::perm_options::add);
    fs::permissions(fs::path(device->private_tmp()).parent_path(), fs::perms::others_exec, fs::perm_options::add);
    fs::permissions(device->private_tmp(), fs::perms::all | fs::perms::sticky_bit);
    const std::vector<std::string> unprivileged = {"/usr/bin/setpriv",
                                                   "--reuid=65534",
                                                   "--regid=65534",
                                                   "--clear-groups",
                                                   "--inh-caps=-all,+net_raw",
                                                   "--ambient-caps=-all,+net_raw",
                                                   "--bounding-set=-all,+net_raw",
                                                   "--"};
    ASSERT_TRUE(device->start_daemon({}, unprivileged));
    EXPECT_TRUE(device->daemon().wait_for_line("RPC server up", 10000)) << device->daemon_log();
    ASSERT_TRUE(lab->add_host("cfg2") && lab->add_link("cfg2", "lab0", "02:00:00:00:0c:02", {"192.0.2.21/24"}));
    lab::IpconfPeer other(*lab, "cfg2");
    ASSERT_TRUE(peer->receive("INFO"_tlv, 10000, device_puid));
    // The same through raw frames in sleep mode (one link, so that each
    // frame is read once). Meanwhile the kernel drops LOOKs unread, and only
    // them: a challenge request is answered.
    for (const bool asleep : {false, true}) {
        if (asleep) {
            ASSERT_EQ(device->daemon().stop(), 0);
            ASSERT_TRUE(lab->set_up(device->addresses().host, "lab1", false));
            ASSERT_TRUE(device->start_daemon({"-m", "sleep"}, unprivileged));
            ASSERT_TRUE(peer->receive("INFO"_tlv, 10000, device_puid));
        }
        EXPECT_EQ(next_answer().first, "late3");
        other.drain();
        ASSERT_TRUE(peer->send(take(ipconf_msg_build_look())));
        std::this_thread::sleep_for(1ms);
        ASSERT_TRUE(other.send(take(ipconf_msg_build_look())));
        ASSERT_TRUE(other.send(take(auth_msg_build_challenge_request(device_puid))));
        EXPECT_TRUE(other.receive(asleep ? "ERR"_tlv : "CHAL"_tlv, 2000, device_puid)) << asleep;
        EXPECT_EQ(peer->collect("INFO"_tlv, 800, device_puid).size(), 1u) << asleep;
        EXPECT_EQ(other.collect("INFO"_tlv, 0, device_puid).size(), 1u) << asleep;
    }
    // Asleep, it holds no UDP socket (only it and the service run in its
    // namespace); a CONF is refused as a challenge request is, and a request
    // for another device gets nothing. (Its INFO goes out on every up link as
    // the raw broadcast of net_test does.)
    const std::string tables = "/proc/" + std::to_string(device->daemon().pid()) + "/net/udp";
    EXPECT_EQ(lab::count_lines(lab::read_file(tables) + lab::read_file(tables + "6"), ":"), 0);
    peer->drain(); // the broadcast ERR that answered the other configurator
    ASSERT_TRUE(peer->send(configurator::build_conf(request(device_puid, "other"), bytes(4))));
    EXPECT_EQ(next_error(), "cannot be configured");
    ASSERT_TRUE(peer->send(take(auth_msg_build_challenge_request("02:00:00:00:99:99"))));
    EXPECT_FALSE(peer->receive("ERR"_tlv, 1000));

    // An owed INFO that cannot be built (the service stopped, the kept INFO
    // stale) still lets the LOOKs after it in: once the service is back,
    // they are answered.
    EXPECT_EQ(next_answer().first, "late3"); // spends the budget
    ASSERT_TRUE(device->bus().service()->signal(SIGSTOP));
    ASSERT_TRUE(lab->ip(device->addresses().host, {"addr", "add", "192.0.2.98/32", "dev", "lab0"}));
    ASSERT_TRUE(peer->send(take(ipconf_msg_build_look())));
    EXPECT_TRUE(device->daemon().wait_for_line("cannot create info message", 5000)) << device->daemon_log();
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(device->bus().service()->signal(SIGCONT));
    EXPECT_TRUE(answered_within(3000)) << device->daemon_log();
}

} // namespace
