// The event notifier end to end: notifierd in a device namespace with the
// configuration service on a private bus, producers on its unix socket in
// that namespace, peers over TCP from a configurator namespace. Everything
// is checked as bytes on the peers' sockets and lines on notifierd's stderr.

#include "support/dbus_lab.hpp"
#include "support/lab.hpp"

#include "ipconf/auth_msg.hpp"
#include "net/address.hpp"
#include "notifier/notif_msg.hpp"
#include "util/sha1.hpp"
#include "util/tlv_ez.hpp"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

constexpr const char *device_address = "192.0.2.10";
const std::string notifierd = ORV_BUILD_DIR "/services/notifierd/notifierd";
const std::string orvanectl = ORV_BUILD_DIR "/tools/orvanectl/orvanectl";

struct malloc_free {
    void operator()(void *p) const { std::free(p); }
};

bytes take(uint8_t *message)
{
    std::unique_ptr<uint8_t, malloc_free> owned(message);
    if (!message)
        return {};
    return bytes(message, message + tlv_get_size(message));
}

bytes event(const char *user, std::vector<std::pair<std::string, std::string>> pairs = {{"level", "warning"}})
{
    tlv_writer *writer = notif_msg_open_event("disk", "42", "2026-01-01T00:00:00Z", user);
    for (const auto &[key, value] : pairs)
        writer = writer ? notif_msg_add_info(writer, key.c_str(), value.c_str()) : nullptr;
    return writer ? take(notif_msg_close_event(writer)) : bytes{};
}

// An event big enough to arrive in several pieces.
bytes big_event(const char *user, int pairs)
{
    std::vector<std::pair<std::string, std::string>> list;
    for (int i = 0; i < pairs; ++i)
        list.emplace_back("key" + std::to_string(i), std::string(40, static_cast<char>('a' + i % 26)));
    return event(user, list);
}

bytes sha1_of(const std::string &text)
{
    std::unique_ptr<uint8_t, malloc_free> digest(sha1_hash(text.data(), text.size()));
    return digest ? bytes(digest.get(), digest.get() + 20) : bytes{};
}

std::string hex(const bytes &data)
{
    std::string out;
    char two[3];
    for (uint8_t b : data) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

bytes concat(const bytes &a, const bytes &b)
{
    bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

bytes raw_element(const char *type, const bytes &payload)
{
    uint32_t code = htonl(tlv_stringtype(type));
    uint32_t length = htonl(static_cast<uint32_t>(payload.size()));
    bytes out(8);
    std::memcpy(out.data(), &code, 4);
    std::memcpy(out.data() + 4, &length, 4);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

lab::StartOptions with_env(const std::string &setting)
{
    lab::StartOptions options;
    options.env.push_back(setting);
    return options;
}

lab::StartOptions with_stdin(const std::string &data)
{
    lab::StartOptions options;
    options.stdin_data = data;
    return options;
}

bytes error_message(const char *text)
{
    return take(auth_msg_build_error(text));
}

// One socket end, read with time-outs.
class Endpoint {
public:
    explicit Endpoint(int fd) : fd_(fd) {}
    ~Endpoint()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Endpoint(const Endpoint &) = delete;
    Endpoint &operator=(const Endpoint &) = delete;

    [[nodiscard]] bool ok() const { return fd_ >= 0; }

    bool write(const bytes &data)
    {
        size_t sent = 0;
        while (sent < data.size()) {
            ssize_t n = send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // Exactly n bytes, or what arrived before the time-out or the close.
    bytes read(size_t n, int timeout_ms = 3000)
    {
        bytes out;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out.size() < n) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count());
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0)
                break;
            uint8_t chunk[4096];
            ssize_t got = recv(fd_, chunk, std::min(sizeof chunk, n - out.size()), 0);
            if (got <= 0) {
                closed_ = true;
                break;
            }
            out.insert(out.end(), chunk, chunk + got);
        }
        return out;
    }

    // One whole TLV message.
    bytes message(int timeout_ms = 3000)
    {
        bytes head = read(8, timeout_ms);
        if (head.size() < 8)
            return head;
        bytes rest = read(tlv_get_size(head.data()) - 8, timeout_ms);
        return concat(head, rest);
    }

    // True when nothing at all arrives within the time.
    bool quiet(int ms = 300) { return read(1, ms).empty() && !closed_; }

    // True when the other end closes within the time.
    bool closed_by_peer(int timeout_ms = 3000)
    {
        bytes got = read(1, timeout_ms);
        return got.empty() && closed_;
    }

private:
    int fd_;
    bool closed_ = false;
};

class NotifierTest : public lab::DbusLabTest {
protected:
    void SetUp() override
    {
        DbusLabTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        // The sample store holds admin ("secret"); bob joins with "hunter2".
        auto store = nlohmann::json::parse(lab::sample_store());
        store["resources"]["0"].push_back({{"id", 2}, {"login", "bob"}, {"password_sha1", hex(sha1_of("hunter2"))}});
        ASSERT_TRUE(bus->write_store(store.dump()));
        ASSERT_TRUE(bus->start_service());
        ASSERT_TRUE(lab->add_host("dev"));
        ASSERT_TRUE(lab->add_host("cfg"));
        ASSERT_TRUE(lab->add_link("dev", "lab0", "02:00:00:00:00:01", {"192.0.2.10/24"}));
        ASSERT_TRUE(lab->add_link("cfg", "cfg0", "02:00:00:00:00:21", {"192.0.2.20/24"}));
        daemon = lab->start("dev", {notifierd, "-f"}, with_env(bus->env()));
        ASSERT_TRUE(daemon);
        ASSERT_TRUE(daemon->wait_for_line("listening on unix socket", 10000)) << daemon->stderr_text();
    }

    void TearDown() override
    {
        if (daemon) {
            EXPECT_EQ(daemon->stop(), 0);
            EXPECT_TRUE(daemon->wait_for_line("stop", 100));
            EXPECT_EQ(daemon->stderr_text().find("ERROR: AddressSanitizer"), std::string::npos);
        }
        daemon.reset();
        DbusLabTest::TearDown();
    }

    // A remote peer connected from the configurator namespace.
    std::unique_ptr<Endpoint> peer()
    {
        auto inside = lab->enter("cfg");
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(4445);
        inet_pton(AF_INET, device_address, &to.sin_addr);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
            close(fd);
            fd = -1;
        }
        EXPECT_GE(fd, 0) << "cannot connect to the notifier: " << std::strerror(errno);
        return std::make_unique<Endpoint>(fd);
    }

    // A local producer on the device.
    std::unique_ptr<Endpoint> producer()
    {
        auto inside = lab->enter("dev");
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        std::unique_ptr<sockaddr_un, malloc_free> address(unix_abstract_address_new("Tazul_notifier"));
        if (fd >= 0 &&
            connect(fd, reinterpret_cast<sockaddr *>(address.get()), unix_address_length_get(address.get())) != 0) {
            close(fd);
            fd = -1;
        }
        EXPECT_GE(fd, 0) << "cannot connect to Tazul_notifier: " << std::strerror(errno);
        return std::make_unique<Endpoint>(fd);
    }

    // Asks for a challenge and returns its bytes.
    static bytes challenge(Endpoint &p)
    {
        EXPECT_TRUE(p.write(take(auth_msg_build_challenge_request(nullptr))));
        bytes reply = p.message();
        uint8_t *cursor = reply.data();
        size_t avail = reply.size();
        uint8_t *value = nullptr;
        size_t length = 0;
        if (reply.size() < 8 || auth_msg_parse_challenge(&cursor, &avail, &value, &length, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "no challenge in reply of " << reply.size() << " bytes";
            return {};
        }
        return bytes(value, value + length);
    }

    static bytes login_message(const std::string &user, const bytes &challenge_bytes, const std::string &password)
    {
        bytes hash = sha1_of(password);
        return take(auth_msg_build_login(user.c_str(), challenge_bytes.data(), challenge_bytes.size(), hash.data()));
    }

    // A whole login; the reply (OK or ERR).
    static bytes login(Endpoint &p, const std::string &user, const std::string &password)
    {
        bytes c = challenge(p);
        EXPECT_TRUE(p.write(login_message(user, c, password)));
        return p.message();
    }

    std::unique_ptr<lab::Process> daemon;
};

const bytes ok_message = take(auth_msg_build_ok());

TEST_F(NotifierTest, EventsReachExactlyThePeersOfTheirUser)
{
    auto admin = peer();
    auto bob = peer();
    auto anonymous = peer();
    ASSERT_EQ(login(*admin, "admin", "secret"), ok_message);
    ASSERT_EQ(login(*bob, "bob", "hunter2"), ok_message);
    // Connected and holding a challenge, but never logged in.
    ASSERT_EQ(challenge(*anonymous).size(), 4u);

    bytes for_admin = event("admin");
    bytes for_bob = event("bob", {{"disk", "full"}, {"free", "0%"}});
    bytes for_all = event(nullptr, {{"reboot", "soon"}});
    bytes for_nobody = event("carol");
    auto p = producer();
    ASSERT_TRUE(p->write(for_admin));
    ASSERT_TRUE(p->write(for_bob));
    ASSERT_TRUE(p->write(for_nobody));
    ASSERT_TRUE(p->write(for_all));

    EXPECT_EQ(admin->message(), for_admin);
    EXPECT_EQ(admin->message(), for_all);
    EXPECT_EQ(bob->message(), for_bob);
    EXPECT_EQ(bob->message(), for_all);
    EXPECT_EQ(anonymous->message(), for_all);
    EXPECT_TRUE(admin->quiet());
    EXPECT_TRUE(bob->quiet());
    EXPECT_TRUE(anonymous->quiet());

    // A later login as another user moves the peer to that user's events.
    ASSERT_EQ(login(*anonymous, "bob", "hunter2"), ok_message);
    ASSERT_TRUE(p->write(for_bob));
    EXPECT_EQ(anonymous->message(), for_bob);
    EXPECT_EQ(bob->message(), for_bob);
    EXPECT_TRUE(admin->quiet());
}

TEST_F(NotifierTest, EveryLoginErrorIsAnsweredAndTheConnectionStaysUsable)
{
    auto p = peer();
    // A login before any challenge.
    ASSERT_TRUE(p->write(login_message("admin", {1, 2, 3, 4}, "secret")));
    EXPECT_EQ(p->message(), error_message("request a challenge first"));

    // A right login, then a second one on the same (spent) challenge.
    bytes c = challenge(*p);
    bytes right = login_message("admin", c, "secret");
    ASSERT_TRUE(p->write(right));
    EXPECT_EQ(p->message(), ok_message);
    ASSERT_TRUE(p->write(right));
    EXPECT_EQ(p->message(), error_message("request a challenge first"));

    // A wrong password spends the challenge too.
    c = challenge(*p);
    ASSERT_TRUE(p->write(login_message("admin", c, "not-the-secret")));
    EXPECT_EQ(p->message(), error_message("authentication error"));
    ASSERT_TRUE(p->write(login_message("admin", c, "secret")));
    EXPECT_EQ(p->message(), error_message("request a challenge first"));

    // An unknown user leaves the challenge in place for another attempt.
    c = challenge(*p);
    ASSERT_TRUE(p->write(login_message("mallory", c, "secret")));
    EXPECT_EQ(p->message(), error_message("password check error"));
    ASSERT_TRUE(p->write(login_message("admin", c, "secret")));
    EXPECT_EQ(p->message(), ok_message);

    // A user name of 256 characters (no room for its zero) is refused, and
    // the challenge survives that as well.
    c = challenge(*p);
    bytes pass(20, 0x55);
    bytes long_name = raw_element("LOGN", concat(raw_element("USER", bytes(256, 'x')), raw_element("PASS", pass)));
    ASSERT_TRUE(p->write(long_name));
    EXPECT_EQ(p->message(), error_message("user name too long"));
    ASSERT_TRUE(p->write(login_message("bob", c, "hunter2")));
    EXPECT_EQ(p->message(), ok_message);

    // A login without PASS, and a message of another type, in one write.
    c = challenge(*p);
    bytes no_pass = raw_element("LOGN", raw_element("USER", {'a', 'd', 'm', 'i', 'n', 0}));
    ASSERT_TRUE(p->write(concat(no_pass, raw_element("LOOK", {}))));
    EXPECT_EQ(p->message(), error_message("login parsing error"));
    EXPECT_EQ(p->message(), error_message("unexpected message"));

    // A challenge request split over two writes is answered once whole.
    bytes request = take(auth_msg_build_challenge_request(nullptr));
    ASSERT_TRUE(p->write(bytes(request.begin(), request.begin() + 5)));
    EXPECT_TRUE(p->quiet(200));
    ASSERT_TRUE(p->write(bytes(request.begin() + 5, request.end())));
    bytes reply = p->message();
    ASSERT_GE(reply.size(), 8u);
    EXPECT_EQ(tlv_get_envelope_type(reply.data()), tlv_stringtype("CHAL"));

    // Still the same connection, still logged in as bob: bob's events arrive.
    bytes for_bob = event("bob");
    auto producer_end = producer();
    ASSERT_TRUE(producer_end->write(for_bob));
    EXPECT_EQ(p->message(), for_bob);

    // A message longer than the receive buffer ends the connection.
    auto greedy = peer();
    bytes head = raw_element("LOGN", {});
    uint32_t claimed = htonl(3000);
    std::memcpy(head.data() + 4, &claimed, 4);
    head.resize(2100, 'z');
    ASSERT_TRUE(greedy->write(head));
    EXPECT_TRUE(greedy->closed_by_peer());
    EXPECT_TRUE(daemon->wait_for_line("connection closed by a remote peer"));
}

TEST_F(NotifierTest, EventsStreamInPiecesAndBackToBack)
{
    auto p = peer();
    ASSERT_EQ(login(*p, "admin", "secret"), ok_message);
    auto source = producer();

    // The first five bytes alone, then the rest in several writes: every
    // piece after the routing head is passed on as it arrives.
    bytes e = big_event("admin", 12);
    ASSERT_GT(e.size(), 400u);
    ASSERT_TRUE(source->write(bytes(e.begin(), e.begin() + 5)));
    EXPECT_TRUE(p->quiet(200));
    ASSERT_TRUE(source->write(bytes(e.begin() + 5, e.begin() + 100)));
    EXPECT_EQ(p->read(100), bytes(e.begin(), e.begin() + 100));
    ASSERT_TRUE(source->write(bytes(e.begin() + 100, e.begin() + 250)));
    EXPECT_EQ(p->read(150), bytes(e.begin() + 100, e.begin() + 250));
    ASSERT_TRUE(source->write(bytes(e.begin() + 250, e.end())));
    EXPECT_EQ(p->read(e.size() - 250), bytes(e.begin() + 250, e.end()));

    // Two events in one write, the second one for everybody.
    bytes first = event("admin", {{"n", "1"}});
    bytes second = event(nullptr, {{"n", "2"}});
    ASSERT_TRUE(source->write(concat(first, second)));
    EXPECT_EQ(p->message(), first);
    EXPECT_EQ(p->message(), second);

    // An event bigger than the receive buffer streams through it.
    bytes huge = big_event("admin", 100);
    ASSERT_GT(huge.size(), 4096u);
    ASSERT_TRUE(source->write(huge));
    EXPECT_EQ(p->message(), huge);

    // An event of only a header and an empty child goes to everybody.
    bytes tiny = raw_element("EVNT", raw_element("MODL", {}));
    ASSERT_TRUE(source->write(tiny));
    EXPECT_EQ(p->message(), tiny);
    EXPECT_TRUE(p->quiet());
}

TEST_F(NotifierTest, BusyPeerPostponesTheSecondProducer)
{
    auto p = peer();
    ASSERT_EQ(login(*p, "admin", "secret"), ok_message);

    bytes e1 = big_event("admin", 6);
    bytes e2 = event(nullptr, {{"from", "second"}});
    auto first = producer();
    auto second = producer();
    // The first event's head reserves the peer.
    ASSERT_TRUE(first->write(bytes(e1.begin(), e1.begin() + 60)));
    ASSERT_EQ(p->read(60), bytes(e1.begin(), e1.begin() + 60));
    ASSERT_TRUE(second->write(e2));
    EXPECT_TRUE(daemon->wait_for_line("busy connection: forwarding from socket ")) << daemon->stderr_text();
    EXPECT_TRUE(p->quiet(200));
    // The first event ends; the postponed one follows, whole.
    ASSERT_TRUE(first->write(bytes(e1.begin() + 60, e1.end())));
    EXPECT_EQ(p->read(e1.size() - 60), bytes(e1.begin() + 60, e1.end()));
    EXPECT_EQ(p->message(), e2);
    EXPECT_TRUE(p->quiet());

    // A reserved peer is not read: its challenge request is answered only
    // after the event it is receiving, never in the middle of it.
    ASSERT_TRUE(first->write(bytes(e1.begin(), e1.begin() + 60)));
    ASSERT_EQ(p->read(60), bytes(e1.begin(), e1.begin() + 60));
    ASSERT_TRUE(p->write(take(auth_msg_build_challenge_request(nullptr))));
    EXPECT_TRUE(p->quiet(300));
    ASSERT_TRUE(first->write(bytes(e1.begin() + 60, e1.end())));
    EXPECT_EQ(p->read(e1.size() - 60), bytes(e1.begin() + 60, e1.end()));
    bytes reply = p->message();
    ASSERT_GE(reply.size(), 8u);
    EXPECT_EQ(tlv_get_envelope_type(reply.data()), tlv_stringtype("CHAL"));

    // Both producers go on working afterwards.
    bytes e3 = event("admin", {{"n", "3"}});
    ASSERT_TRUE(second->write(e3));
    EXPECT_EQ(p->message(), e3);
    ASSERT_TRUE(first->write(e1));
    EXPECT_EQ(p->message(), e1);
}

TEST_F(NotifierTest, ProducerClosingMidEventReleasesItsPeers)
{
    auto p = peer();
    ASSERT_EQ(login(*p, "admin", "secret"), ok_message);
    bytes e1 = big_event("admin", 6);
    bytes e2 = event("admin", {{"n", "2"}});
    bytes e3 = event(nullptr, {{"n", "3"}});

    {
        auto quitter = producer();
        ASSERT_TRUE(quitter->write(bytes(e1.begin(), e1.begin() + 60)));
        ASSERT_EQ(p->read(60), bytes(e1.begin(), e1.begin() + 60));
        // Another producer waits for the peer while the first one holds it.
        auto waiting = producer();
        ASSERT_TRUE(waiting->write(e2));
        ASSERT_TRUE(daemon->wait_for_line("busy connection: forwarding from socket "));
        quitter.reset();
        // The peer is released and the waiting event goes out without
        // waiting for any other event to end.
        EXPECT_EQ(p->message(), e2);
        EXPECT_TRUE(daemon->wait_for_line("connection closed by a local processus"));
    }
    auto next = producer();
    ASSERT_TRUE(next->write(e3));
    EXPECT_EQ(p->message(), e3);
}

TEST_F(NotifierTest, StreamNotStartingWithAnEventIsDisconnected)
{
    auto p = peer();
    ASSERT_EQ(login(*p, "admin", "secret"), ok_message);
    auto wrong = producer();
    ASSERT_TRUE(wrong->write(take(auth_msg_build_challenge_request(nullptr))));
    EXPECT_TRUE(wrong->closed_by_peer());
    EXPECT_TRUE(daemon->wait_for_line("Received unexpected message"));
    EXPECT_TRUE(p->quiet(100));

    // The same after a good event: the second message is no event.
    auto later = producer();
    bytes good = event("admin");
    ASSERT_TRUE(later->write(concat(good, raw_element("LOOK", {}))));
    EXPECT_EQ(p->message(), good);
    EXPECT_TRUE(later->closed_by_peer());

    // The notifier still serves everybody else.
    auto fine = producer();
    ASSERT_TRUE(fine->write(good));
    EXPECT_EQ(p->message(), good);
}

TEST_F(NotifierTest, OrvanectlSendsAndListens)
{
    auto listener = lab->start("cfg",
                               {orvanectl, "event", "listen", device_address, "--user", "admin", "--password-stdin",
                                "--count", "2"},
                               with_stdin("secret\n"));
    ASSERT_TRUE(listener);
    ASSERT_TRUE(listener->wait_for_line("logged in as admin")) << listener->stderr_text();

    auto send = lab->start("dev", {orvanectl, "event", "send", "--user", "admin", "--module", "disk", "--id", "7",
                                   "--time", "2026-01-01T10:00:00Z", "level=warning", "free=3%"});
    ASSERT_TRUE(send);
    EXPECT_EQ(send->wait(), 0) << send->stderr_text();
    auto to_bob = lab->start("dev", {orvanectl, "event", "send", "--user", "bob", "only=bob"});
    EXPECT_EQ(to_bob->wait(), 0) << to_bob->stderr_text();
    auto to_all = lab->start("dev", {orvanectl, "event", "send", "--time", "", "reboot=soon"});
    EXPECT_EQ(to_all->wait(), 0) << to_all->stderr_text();

    EXPECT_EQ(listener->wait(), 0) << listener->stderr_text();
    EXPECT_EQ(listener->stdout_text(), "event user=admin module=disk id=7 time=2026-01-01T10:00:00Z\n"
                                       "    level=warning\n"
                                       "    free=3%\n"
                                       "event\n"
                                       "    reboot=soon\n");

    // A refused login: the notifier's text, status 1.
    auto refused = lab->start("cfg", {orvanectl, "event", "listen", device_address, "--user", "admin",
                                      "--password-stdin"},
                              with_stdin("wrong\n"));
    EXPECT_EQ(refused->wait(), 1);
    EXPECT_NE(refused->stderr_text().find("login refused: authentication error"), std::string::npos)
        << refused->stderr_text();

    // Without a notifier on the device the sender says so.
    auto nowhere = lab->start("cfg", {orvanectl, "event", "send", "x=y"});
    EXPECT_EQ(nowhere->wait(), 2);
    EXPECT_NE(nowhere->stderr_text().find("cannot reach the notifier"), std::string::npos);
}

} // namespace
