#include "support/ipconf_device.hpp"

#include "ipconf/elements.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "util/tlv_ez.hpp"

#include <nlohmann/json.hpp>

#include <linux/if_packet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace lab {

std::string puid_of(const bytes &message)
{
    bytes copy = message;
    char *puid = nullptr;
    if (ipconf_msg_parse_get_puid(copy.data(), copy.size(), &puid) != 0 || puid == nullptr)
        return "";
    return std::string(element_text(puid));
}

std::vector<std::pair<std::string, bytes>> drain_socket(int fd, int quiet_ms)
{
    std::vector<std::pair<std::string, bytes>> got;
    pollfd pfd{fd, POLLIN, 0};
    for (int rounds = 0; rounds < 64 && poll(&pfd, 1, quiet_ms) == 1; ++rounds) {
        bytes buffer(65536);
        sockaddr_ll from{};
        socklen_t length = sizeof from;
        const ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 0)
            break;
        buffer.resize(static_cast<size_t>(n));
        char mac[18];
        std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", from.sll_addr[0], from.sll_addr[1],
                      from.sll_addr[2], from.sll_addr[3], from.sll_addr[4], from.sll_addr[5]);
        if (from.sll_family != AF_PACKET)
            got.emplace_back("", std::move(buffer));
        else if (from.sll_pkttype != PACKET_OUTGOING && n >= 28 && buffer[9] == IPPROTO_UDP)
            got.emplace_back(mac, std::move(buffer));
    }
    return got;
}

IpconfPeer::IpconfPeer(Lab &lab, const std::string &host)
{
    const auto in = lab.enter(host);
    if (in.ok() && !open({.interfaces = {"lab0"}, .raw = false, .cancel = nullptr}))
        ADD_FAILURE() << "configurator link on " << host << ": " << error();
}

std::optional<bytes> IpconfPeer::receive(uint32_t type, int timeout_ms, const std::string &puid)
{
    auto found = collect(type, timeout_ms, puid, 1);
    return found.empty() ? std::nullopt : std::optional<bytes>(std::move(found[0]));
}

std::optional<bytes> IpconfPeer::look(int timeout_ms, const std::string &puid)
{
    drain();
    return send(take(ipconf_msg_build_look())) ? receive("INFO"_tlv, timeout_ms, puid) : std::nullopt;
}

std::vector<bytes> IpconfPeer::collect(uint32_t type, int window_ms, const std::string &puid, size_t most)
{
    std::vector<bytes> found;
    const auto deadline = configurator::clock::now() + std::chrono::milliseconds(window_ms);
    configurator::datagram got;
    while (found.size() < most && link::receive(deadline, got) == configurator::wait::message)
        if ((type == 0 || got.type == type) && (puid.empty() || puid_of(got.data) == puid))
            found.push_back(std::move(got.data));
    return found;
}

std::string upper_case(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

Device::Device(Lab &lab, int index) : lab_(lab)
{
    addresses_.host = "dev" + std::to_string(index + 1);
    addresses_.mac0 = "02:00:00:00:0d:" + std::to_string(index) + "1";
    addresses_.mac1 = "02:00:00:00:0d:" + std::to_string(index) + "2";
    addresses_.ipv4_0 = "192.0.2." + std::to_string(10 + index);
    addresses_.ipv4_1 = "198.51.100." + std::to_string(10 + index);
    dir_ = lab.dir() + "/" + addresses_.host;
    std::filesystem::create_directories(dir_ + "/tmp");
    EXPECT_TRUE(lab.add_host(addresses_.host));
    EXPECT_TRUE(lab.add_link(addresses_.host, "lab0", addresses_.mac0, {addresses_.ipv4_0 + "/24"}));
    EXPECT_TRUE(lab.add_link(addresses_.host, "lab1", addresses_.mac1, {addresses_.ipv4_1 + "/24"}));
}

bool Device::start_service(const std::vector<std::string> &service_options)
{
    // The sample store (whose account has the lab password) with this
    // device's identity, MACs and address.
    nlohmann::json json = nlohmann::json::parse(sample_store());
    json["configurations"]["17"] =
        store.host_name.empty() ? nlohmann::json::object() : nlohmann::json{{"hostname", store.host_name}};
    json["configurations"]["18"]["product_name"] = store.product_name;
    json["configurations"]["18"]["product_id"] = store.product_id;
    json["resources"]["6"][0]["mac"] = addresses_.mac0;
    json["resources"]["6"][1]["mac"] = addresses_.mac1;
    json["resources"]["26"][0]["ipv4"] = addresses_.ipv4_0;
    json["resources"]["26"][1]["wins"] = "198.51.100.99";
    for (const auto &login : store.more_logins) {
        auto account = json["resources"]["0"][0];
        account["id"] = json["resources"]["0"].size() + 1;
        account["login"] = login;
        json["resources"]["0"].push_back(account);
    }
    bus_ = std::make_unique<DbusLab>(dir_);
    return bus_->start_bus() && bus_->write_store(json.dump(2)) && bus_->start_service(service_options);
}

bool Device::start_daemon(const std::vector<std::string> &options, const std::vector<std::string> &wrapper)
{
    if (!bus_)
        return false;
    // A wrapper finds the daemon by its path after the private /tmp is
    // mounted, which hides a build folder under /tmp: it gets a copy there.
    const std::string program = ORV_BUILD_DIR "/daemon/orvaned";
    std::error_code copied;
    if (!wrapper.empty() && !std::filesystem::copy_file(program, private_tmp() + "/orvaned",
                                                        std::filesystem::copy_options::overwrite_existing, copied))
        return false;
    std::vector<std::string> argv = wrapper;
    argv.insert(argv.end(), {wrapper.empty() ? program : "/tmp/orvaned", "-f", "-b", "lab0"});
    argv.insert(argv.end(), options.begin(), options.end());
    // This device's own bus; a /tmp of its own keeps the RPC endpoint's
    // socket out of the host's.
    std::vector<std::string> env = daemon_env;
    env.push_back(bus_->env());
    daemon_ = lab_.start(addresses_.host, argv, {.env = env, .tmp_dir = private_tmp(), .stdin_data = {}});
    return daemon_ != nullptr;
}

std::unique_ptr<IpconfPeer> add_configurator(Lab &lab)
{
    if (!lab.add_host("cfg") ||
        !lab.add_link("cfg", "lab0", "02:00:00:00:0c:01", {std::string(configurator_address) + "/24"}))
        return nullptr;
    auto peer = std::make_unique<IpconfPeer>(lab, "cfg");
    return peer->ok() ? std::move(peer) : nullptr;
}

void DeviceTest::SetUp()
{
    LabTest::SetUp();
    if (IsSkipped() || HasFatalFailure())
        return;
    device = std::make_unique<Device>(*lab);
    peer = add_configurator(*lab);
    ASSERT_TRUE(peer);
}

void DeviceTest::TearDown()
{
    peer.reset();
    second.reset();
    device.reset();
    LabTest::TearDown();
}

configurator::configuration DeviceTest::request(const std::string &puid, const std::string &host_name)
{
    return {.puid = puid, .user = login, .password_hash = password_hash(), .host_name = host_name, .interfaces = {}};
}

configurator::configure_result DeviceTest::configure(const configurator::configuration &request, int timeout_ms)
{
    const auto in = lab->enter("cfg");
    configurator::search where;
    where.interfaces = {"lab0"};
    where.timeout = std::chrono::milliseconds(timeout_ms);
    return configurator::configure(request, where);
}

void SegmentTest::SetUp()
{
    LabTest::SetUp();
    if (IsSkipped() || HasFatalFailure())
        return;
    one = std::make_unique<Device>(*lab, 0);
    two = std::make_unique<Device>(*lab, 1);
    two->store.host_name = "device-2";
    ASSERT_TRUE(lab->add_host("cfg") &&
                lab->add_link("cfg", "lab0", "02:00:00:00:0c:01", {std::string(configurator_address) + "/24"}));
    arrange();
    ASSERT_TRUE(one->start_service({"--notify-writer"}) && one->start_daemon());
    ASSERT_TRUE(two->start_service({"--notify-writer"}) && two->start_daemon(two_options));
    for (auto *device : {one.get(), two.get()})
        ASSERT_TRUE(device->daemon().wait_for_line("Ipconf socket bound", 10000)) << device->daemon_log();
}

void SegmentTest::TearDown()
{
    one.reset();
    two.reset();
    LabTest::TearDown();
}

std::unique_ptr<Process> SegmentTest::start(const std::string &host, std::vector<std::string> args,
                                            const std::string &input, const std::string &tmp)
{
    args.insert(args.begin(), ORV_BUILD_DIR "/tools/orvanectl/orvanectl");
    return lab->start(host, args, {.env = {}, .tmp_dir = tmp, .stdin_data = input});
}

SegmentTest::result SegmentTest::ctl(const std::string &host, const std::vector<std::string> &args,
                                     const std::string &input, const std::string &tmp)
{
    const result got = finish(start(host, args, input, tmp));
    EXPECT_NE(got.status, -1) << (args.empty() ? "" : args[0]);
    return got;
}

SegmentTest::result SegmentTest::finish(const std::unique_ptr<Process> &run, int timeout_ms)
{
    return run ? result{run->wait(timeout_ms), run->stdout_text(), run->stderr_text()} : result{-1, "", ""};
}

std::vector<std::string> SegmentTest::configure(const std::string &puid, const std::string &host_name,
                                                std::vector<std::string> more)
{
    more.insert(more.begin(), {"configure", puid, "--user", login, "--password-stdin", "--hostname", host_name});
    return more;
}

} // namespace lab
