#include "support/ipconf_device.hpp"

#include "configurator/configurator.hpp"
#include "ipconf/auth_msg.hpp"
#include "ipconf/elements.hpp"
#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "platform/product_info.hpp"
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

namespace {

char *text_or_null(const std::string &text)
{
    return text.empty() ? nullptr : const_cast<char *>(text.c_str());
}

} // namespace

bytes take_message(uint8_t *message)
{
    if (message == nullptr)
        return {};
    bytes copy(message, message + tlv_get_size(message));
    std::free(message);
    return copy;
}

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

std::array<uint8_t, 20> password_hash()
{
    return configurator::password_hash(password);
}

Device::Device(Lab &lab, int index) : lab_(lab)
{
    const std::string n = std::to_string(index + 1);
    addresses_.host = "dev" + n;
    addresses_.mac0 = "02:00:00:00:0d:" + std::string(index == 0 ? "01" : "11");
    addresses_.mac1 = "02:00:00:00:0d:" + std::string(index == 0 ? "02" : "12");
    addresses_.ipv4_0 = "192.0.2." + std::to_string(10 + index);
    addresses_.ipv4_1 = "198.51.100." + std::to_string(10 + index);
    dir_ = lab.dir() + "/" + addresses_.host;
    std::filesystem::create_directories(dir_ + "/tmp");
    EXPECT_TRUE(lab.add_host(addresses_.host));
    EXPECT_TRUE(lab.add_link(addresses_.host, "lab0", addresses_.mac0, {addresses_.ipv4_0 + "/24"}));
    EXPECT_TRUE(lab.add_link(addresses_.host, "lab1", addresses_.mac1, {addresses_.ipv4_1 + "/24"}));
}

Device::~Device()
{
    // The daemon goes before the service it talks to.
    if (daemon_)
        daemon_->stop(SIGKILL);
    bus_.reset();
}

std::string Device::store_text() const
{
    return bus_ ? bus_->read_store() : "";
}

bool Device::start_service(const std::vector<std::string> &service_options)
{
    // The sample store (whose account has the lab password) with this
    // device's identity, MACs and address.
    nlohmann::json json = nlohmann::json::parse(sample_store());
    json["configurations"]["17"]["hostname"] = store.host_name;
    json["configurations"]["18"] = {{"product_name", store.product_name},
                                    {"product_id", store.product_id},
                                    {"hardware_id", store.hardware_id},
                                    {"hardware_revision", store.hardware_revision},
                                    {"software_version", store.software_version}};
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
    if (!wrapper.empty() && !std::filesystem::copy_file(program, private_tmp() + "/orvaned", copied))
        return false;
    std::vector<std::string> argv = wrapper;
    argv.insert(argv.end(), {wrapper.empty() ? program : "/tmp/orvaned", "-f", "-b", "lab0"});
    argv.insert(argv.end(), options.begin(), options.end());
    // This device's own bus; a /tmp of its own keeps the RPC endpoint's
    // socket out of the host's.
    daemon_ = lab_.start(addresses_.host, argv, {.env = {bus_->env()}, .tmp_dir = private_tmp(), .stdin_data = {}});
    return daemon_ != nullptr;
}

int Device::count_lines(const std::string &text) const
{
    return lab::count_lines(daemon_log(), text);
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

bytes expected_info(const Device &device, const std::string &puid, uint32_t mode)
{
    const DeviceStore &s = device.store;
    product_info info = {text_or_null(puid),
                         mode,
                         text_or_null(s.host_name),
                         text_or_null(s.product_name),
                         text_or_null(s.product_id),
                         text_or_null(s.hardware_id),
                         text_or_null(s.hardware_revision),
                         text_or_null(s.software_version)};
    tlv_writer *writer = ipconf_msg_open_info(&info, 2);

    std::string mac0 = upper_case(device.addresses().mac0), mac1 = upper_case(device.addresses().mac1);
    std::string ipv4_0 = device.addresses().ipv4_0;
    std::string netmask = "255.255.255.0", gateway = "192.0.2.1", dns = "192.0.2.53";
    std::string broadcast = "0.0.0.0", wins = "198.51.100.99";
    std::string lab0 = "lab0", lab1 = "lab1";
    interface_conf first = {lab0.data(),    mac0.data(),      0,          1,      0, ipv4_0.data(), netmask.data(),
                            gateway.data(), broadcast.data(), dns.data(), nullptr};
    interface_conf second = {lab1.data(), mac1.data(),      0,       0,          2, nullptr, nullptr,
                             nullptr,     broadcast.data(), nullptr, wins.data()};
    writer = ipconf_msg_add_interface_to_info(writer, &first);
    writer = ipconf_msg_add_interface_to_info(writer, &second);
    return take_message(ipconf_msg_close_info(&writer));
}

bytes challenge_request(const std::string &puid)
{
    return take_message(auth_msg_build_challenge_request(puid.c_str()));
}

bytes conf_message(const ConfRequest &request)
{
    configurator::configuration conf{.puid = request.puid,
                                     .user = request.user,
                                     .password_hash = configurator::password_hash(request.secret),
                                     .host_name = request.host_name};
    for (const auto &entry : request.interfaces)
        conf.interfaces.push_back({.mac = entry.mac,
                                   .ipv4_method = entry.ipv4_mode,
                                   .address = entry.ipv4,
                                   .netmask = entry.netmask,
                                   .gateway = entry.gateway,
                                   .dns = entry.dns});
    return configurator::build_conf(conf, request.challenge);
}

std::vector<uint8_t> challenge_of(const bytes &chal, std::string *address)
{
    bytes copy = chal;
    uint8_t *cursor = copy.data(), *challenge = nullptr;
    size_t avail = copy.size(), length = 0;
    char *puid = nullptr, *addr = nullptr;
    if (auth_msg_parse_challenge(&cursor, &avail, &challenge, &length, &puid, &addr) != 0 || challenge == nullptr)
        return {};
    if (address != nullptr)
        *address = addr != nullptr ? addr : "";
    return {challenge, challenge + length};
}

std::vector<uint8_t> ask_challenge(IpconfPeer &peer, const std::string &puid, int timeout_ms)
{
    if (!peer.send(challenge_request(puid)))
        return {};
    auto chal = peer.receive("CHAL"_tlv, timeout_ms, puid);
    return chal ? challenge_of(*chal) : std::vector<uint8_t>{};
}

bool error_of(const bytes &err, std::string *text, std::string *address)
{
    bytes copy = err;
    char *puid = nullptr, *addr = nullptr, *message = nullptr;
    if (ipconf_msg_parse_error(copy.data(), copy.size(), &puid, &addr, &message) != 0)
        return false;
    *text = message != nullptr ? message : "";
    *address = addr != nullptr ? addr : "";
    return true;
}

} // namespace lab
