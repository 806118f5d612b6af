#include "support/ipconf_device.hpp"

#include "ipconf/auth_msg.hpp"
#include "ipconf/interface_conf.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "platform/product_info.hpp"
#include "util/sha1.hpp"
#include "util/tlv.hpp"
#include "util/tlv_ez.hpp"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace lab {

namespace {

char *text_or_null(const std::string &text)
{
    return text.empty() ? nullptr : const_cast<char *>(text.c_str());
}

std::array<uint8_t, 20> sha1_of(const std::string &text)
{
    std::array<uint8_t, 20> hash{};
    if (uint8_t *digest = sha1_hash(text.data(), text.size())) {
        std::memcpy(hash.data(), digest, hash.size());
        std::free(digest);
    }
    return hash;
}

} // namespace

std::string upper_case(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::array<uint8_t, 20> password_hash()
{
    return sha1_of(password);
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
    product_info info = {text_or_null(puid), mode, text_or_null(s.host_name), text_or_null(s.product_name),
                         text_or_null(s.product_id), text_or_null(s.hardware_id), text_or_null(s.hardware_revision),
                         text_or_null(s.software_version)};
    tlv_writer *writer = ipconf_msg_open_info(&info, 2);

    std::string mac0 = upper_case(device.addresses().mac0), mac1 = upper_case(device.addresses().mac1);
    std::string ipv4_0 = device.addresses().ipv4_0;
    std::string netmask = "255.255.255.0", gateway = "192.0.2.1", dns = "192.0.2.53";
    std::string broadcast = "0.0.0.0", wins = "198.51.100.99";
    std::string lab0 = "lab0", lab1 = "lab1";
    interface_conf first = {lab0.data(), mac0.data(), 0, 1, 0, ipv4_0.data(),
                            netmask.data(), gateway.data(), broadcast.data(), dns.data(), nullptr};
    interface_conf second = {lab1.data(), mac1.data(), 0, 0, 2, nullptr,
                             nullptr, nullptr, broadcast.data(), nullptr, wins.data()};
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
    const auto secret_hash = sha1_of(request.secret);
    tlv_writer *writer =
        ipconf_msg_open_conf(text_or_null(request.puid), text_or_null(request.user), secret_hash.data(),
                             request.challenge.data(), request.challenge.size());
    writer = ipconf_msg_set_conf_hostname(writer, text_or_null(request.host_name));
    for (const auto &entry : request.interfaces) {
        std::string mac = entry.mac, ipv4 = entry.ipv4, netmask = entry.netmask, gateway = entry.gateway,
                    dns = entry.dns;
        interface_conf conf = {nullptr, text_or_null(mac), 3, 2, entry.ipv4_mode, text_or_null(ipv4),
                               text_or_null(netmask), text_or_null(gateway), nullptr, text_or_null(dns), nullptr};
        writer = ipconf_msg_add_interface_to_conf(writer, &conf);
    }
    return take_message(tlv_close_all(&writer));
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

std::vector<uint8_t> ask_challenge(const IpconfPeer &peer, const std::string &puid, int timeout_ms)
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
