// The event notifier end to end: notifierd in a device namespace with the
// configuration service on a private bus, producers on its unix socket in
// that namespace, peers over TCP from a configurator namespace. Everything
// is checked as bytes on the peers' sockets and lines on notifierd's stderr.

#include "support/ipconf_device.hpp"
#include "support/lab.hpp"

#include "ipconf/auth_msg.hpp"
#include "net/address.hpp"
#include "notifier/notif_msg.hpp"
#include "util/owned.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// An event for the user (everybody when null) with that many pairs of 40
// characters each: enough of them make it arrive in several pieces.
bytes event(const char *user, int pairs = 1)
{
    tlv_writer *writer = notif_msg_open_event("disk", "42", "2026-01-01T00:00:00Z", user);
    for (int i = 0; i < pairs; ++i)
        writer = notif_msg_add_info(writer, ("key" + std::to_string(i)).c_str(),
                                    std::string(40, static_cast<char>('a' + i % 26)).c_str());
    return take(notif_msg_close_event(writer));
}

bytes part(const bytes &data, size_t from, size_t to = SIZE_MAX)
{
    return bytes(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(std::min(to, data.size())));
}

// The unprivileged local user of the lab, and the group the daemon is told
// to admit besides root.
constexpr uid_t nobody = 65534;
constexpr gid_t producers = 4242;

const bytes ok_message = take(auth_msg_build_ok());
const bytes challenge_request = take(auth_msg_build_challenge_request(nullptr));

// One whole TLV message.
bytes message_of(lab::Stream &end, int timeout_ms = 3000)
{
    bytes head = end.read(8, timeout_ms);
    return head.size() < 8 ? head : cat({head, end.read(tlv_get_size(head.data()) - 8, timeout_ms)});
}

// True when nothing arrives within the time and the other end is still there.
bool quiet(lab::Stream &end, int ms = 300)
{
    return end.read(1, ms).empty() && !end.closed();
}

// The notifierd of the lab's device (192.0.2.10), on the device's bus; peers
// connect from the configurator host, producers on the device.
class NotifierTest : public lab::DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        device->store.more_logins = {"bob"};
        ASSERT_TRUE(device->start_service());
        // Started as systemd starts it (ready once it listens), with few
        // descriptors, so that running out of them is cheap to reach.
        lab::NotifySocket notify(lab->dir());
        daemon = lab->start(
            device->addresses().host,
            {"/usr/bin/prlimit", "--nofile=64", ORV_BUILD_DIR "/services/notifierd/notifierd", "-f"},
            {.env = {device->bus_env(), notify.env(), "NOTIFIERD_PRODUCER_GROUP=" + std::to_string(producers)},
             .tmp_dir = {},
             .stdin_data = {}});
        ASSERT_TRUE(daemon);
        ASSERT_TRUE(notify.wait_for("READY=1")) << daemon->stderr_text();
    }

    void TearDown() override
    {
        if (daemon) {
            EXPECT_EQ(daemon->stop(), 0);
            EXPECT_TRUE(daemon->wait_for_line("stop", 100));
        }
        DeviceTest::TearDown();
    }

    // A remote peer from the configurator namespace, or a local producer;
    // with a small receive buffer when one is given.
    std::unique_ptr<lab::Stream> connect_to(bool remote, int receive_buffer = 0)
    {
        sockaddr_in to{AF_INET, htons(4445), {}, {}};
        inet_pton(AF_INET, device->addresses().ipv4_0.c_str(), &to.sin_addr);
        const malloc_ptr<sockaddr_un> local(unix_abstract_address_new("Tazul_notifier"));
        const auto *address = remote ? reinterpret_cast<sockaddr *>(&to) : reinterpret_cast<sockaddr *>(local.get());
        const socklen_t length = remote ? sizeof to : unix_address_length_get(local.get());
        return std::make_unique<lab::Stream>(lab->open_in(remote ? "cfg" : device->addresses().host, [&] {
            return lab::connect_stream(address, length, receive_buffer);
        }));
    }
    std::unique_ptr<lab::Stream> peer() { return connect_to(true); }
    std::unique_ptr<lab::Stream> producer() { return connect_to(false); }

    // Does `open` in the device namespace as the user nobody with that group
    // and those supplementary groups. The raw system calls change one thread
    // only: this one, which ends here.
    template <class Open>
    int as_nobody(gid_t gid, const std::vector<gid_t> &groups, Open open)
    {
        int fd = -1;
        std::thread([&] {
            const owned_fd ns(::open(("/run/netns/" + lab->netns(device->addresses().host)).c_str(), O_RDONLY));
            if (!ns || setns(ns.get(), CLONE_NEWNET) != 0 ||
                syscall(SYS_setgroups, groups.size(), groups.data()) != 0 ||
                syscall(SYS_setresgid, gid, gid, gid) != 0 || syscall(SYS_setresuid, nobody, nobody, nobody) != 0)
                ADD_FAILURE() << "cannot become nobody in the device's namespace";
            else
                fd = open();
        }).join();
        return fd;
    }

    // Asks for a challenge and returns its bytes.
    static bytes challenge(lab::Stream &p)
    {
        EXPECT_TRUE(p.write(challenge_request));
        bytes reply = message_of(p);
        uint8_t *cursor = reply.data(), *value = nullptr;
        size_t avail = reply.size(), length = 0;
        if (reply.size() < 8 || auth_msg_parse_challenge(&cursor, &avail, &value, &length, nullptr, nullptr) != 0)
            return {};
        return bytes(value, value + length);
    }

    static bytes login_message(const std::string &user, const bytes &challenge_bytes, bool right_password = true)
    {
        auto hash = lab::password_hash();
        hash[0] ^= right_password ? 0 : 1;
        return take(auth_msg_build_login(user.c_str(), challenge_bytes.data(), challenge_bytes.size(), hash.data()));
    }

    // A whole login; the reply (OK or ERR).
    static bytes login(lab::Stream &p, const std::string &user)
    {
        const bytes c = challenge(p);
        EXPECT_TRUE(p.write(login_message(user, c)));
        return message_of(p);
    }

    std::unique_ptr<lab::Process> daemon;
};

TEST_F(NotifierTest, HostilePeersCostOnlyThemselves)
{
    // A peer answered and gone: the daemon is past its start-up notifications
    // (whose socket it closes after READY=1 has gone out).
    ASSERT_EQ(challenge(*peer()).size(), 4u);
    ASSERT_TRUE(daemon->wait_for_line("connection closed by a remote peer", 10000));
    const auto baseline = lab::descriptors_of(daemon->pid());
    // Peers that reset their connections, in waves below the descriptor limit.
    for (int wave = 0, opened = 1; wave < 5; ++wave) {
        std::vector<std::unique_ptr<lab::Stream>> resetting;
        for (int i = 0; i < 30; ++i)
            resetting.push_back(peer());
        opened += 30;
        ASSERT_TRUE(daemon->wait_for_line("connection opened by a remote peer", 10000, opened))
            << daemon->stderr_text();
        for (auto &r : resetting)
            r->reset();
    }
    // More idle peers than descriptors: the surplus is turned away.
    std::vector<std::unique_ptr<lab::Stream>> idle;
    for (int i = 0; i < 70; ++i)
        idle.push_back(peer());
    EXPECT_TRUE(daemon->wait_for_line("error when accepting a remote connection", 10000));
    idle.clear();
    // Garbage from peers and from a producer.
    for (int i = 0; i < 10; ++i) {
        bytes junk(3000);
        for (size_t at = 0; at < junk.size(); ++at)
            junk[at] = static_cast<uint8_t>(at * 2654435761u >> (i + 8));
        EXPECT_TRUE((i % 5 == 0 ? producer() : peer())->write(junk));
    }

    {
        auto good = peer();
        ASSERT_EQ(login(*good, "admin"), ok_message) << daemon->stderr_text();
        // One peer floods challenge requests and another takes nothing it is sent;
        // both are disconnected, the good peer gets every event.
        auto flooder = connect_to(true, 4096);
        auto slow = connect_to(true, 4096);
        bytes flood;
        for (int i = 0; i < 200; ++i)
            flood.insert(flood.end(), challenge_request.begin(), challenge_request.end());
        auto source = producer();
        const bytes e = event(nullptr, 30);
        for (int i = 0; i < 300; ++i) {
            static_cast<void>(send(flooder->fd(), flood.data(), flood.size(), MSG_NOSIGNAL | MSG_DONTWAIT));
            ASSERT_TRUE(source->write(e));
            ASSERT_EQ(message_of(*good), e) << "event " << i << daemon->stderr_text();
        }
        EXPECT_EQ(lab::count_lines(daemon->stderr_text(), "falls behind by more than"), 2) << daemon->stderr_text();

        // An event paused half-way holds every peer; a reserved peer with bytes
        // to read must not make the daemon spin.
        const bytes paused = event(nullptr, 6);
        ASSERT_TRUE(source->write(part(paused, 0, 60)));
        ASSERT_EQ(good->read(60), part(paused, 0, 60));
        ASSERT_TRUE(good->write(part(challenge_request, 0, 3)));
        const long before = lab::cpu_ticks(daemon->pid());
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_LT(lab::cpu_ticks(daemon->pid()) - before, 30) << "clock ticks of one second";
        ASSERT_TRUE(source->write(part(paused, 60)));
        EXPECT_EQ(good->read(paused.size() - 60), part(paused, 60));
        ASSERT_TRUE(good->write(part(challenge_request, 3)));
        const bytes reply = message_of(*good);
        EXPECT_EQ(reply.size() >= 8 ? tlv_get_envelope_type(reply.data()) : 0, tlv_stringtype("CHAL"));
    }
    // Everybody gone: the descriptors the daemon started with.
    EXPECT_TRUE(lab::descriptors_settle(daemon->pid(), baseline)) << daemon->stderr_text();
}

TEST_F(NotifierTest, LoginsDecideWhichPeersGetEachEventWholeAndInOrder)
{
    // Every login error is answered and leaves the connection usable: a login
    // before any challenge, a second one on a spent challenge; a wrong
    // password spends it too, an unknown user leaves it in place.
    auto bob = peer();
    const auto error = [](const char *text) { return take(auth_msg_build_error(text)); };
    const struct {
        const char *user;
        bool fresh_challenge, right_password;
        bytes answer;
    } logins[] = {
        {"admin", false, true, error("request a challenge first")},
        {"admin", true, true, ok_message},
        {"admin", false, true, error("request a challenge first")},
        {"admin", true, false, error("authentication error")},
        {"admin", false, true, error("request a challenge first")},
        {"mallory", true, true, error("password check error")},
        {"bob", false, true, ok_message}, // now bob's, no longer admin's
    };
    bytes c = {1, 2, 3, 4};
    for (const auto &l : logins) {
        c = l.fresh_challenge ? challenge(*bob) : c;
        ASSERT_TRUE(bob->write(login_message(l.user, c, l.right_password)));
        EXPECT_EQ(message_of(*bob), l.answer) << l.user;
    }
    ASSERT_TRUE(bob->write(tlv("LOOK")));
    EXPECT_EQ(message_of(*bob), error("unexpected message"));

    auto admin = peer();
    auto anonymous = peer(); // holds a challenge, never logged in
    ASSERT_EQ(login(*admin, "admin"), ok_message);
    ASSERT_EQ(challenge(*anonymous).size(), 4u);
    const std::vector<lab::Stream *> everybody = {admin.get(), bob.get(), anonymous.get()};
    // The first five bytes alone, then the rest in several writes: every
    // piece after the routing head is passed on as it arrives.
    auto source = producer();
    const bytes e = event("admin", 12);
    ASSERT_TRUE(source->write(part(e, 0, 5)));
    EXPECT_TRUE(quiet(*admin, 200));
    for (const auto &[from, to] : {std::pair<size_t, size_t>{5, 100}, {100, 250}, {250, e.size()}}) {
        ASSERT_TRUE(source->write(part(e, from, to)));
        EXPECT_EQ(admin->read(to - (from == 5 ? 0 : from)), part(e, from == 5 ? 0 : from, to));
    }
    // Back to back in one write: for each user, for nobody here, for all;
    // then one of only a header and an empty child (at most 16 bytes), which
    // goes to everybody once whole.
    const bytes for_admin = event("admin");
    const bytes for_bob = event("bob", 2);
    const bytes for_all = event(nullptr, 3);
    const bytes tiny = tlv("EVNT", tlv("MODL"));
    ASSERT_TRUE(source->write(cat({for_admin, for_bob, event("carol"), for_all})));
    ASSERT_TRUE(source->write(tiny));
    EXPECT_EQ(message_of(*admin), for_admin);
    EXPECT_EQ(message_of(*bob), for_bob);
    for (lab::Stream *end : everybody) {
        EXPECT_EQ(message_of(*end), for_all);
        EXPECT_EQ(message_of(*end), tiny);
    }

    // An event's head reserves its peers: another producer's event for them
    // waits until the first one ends, or its producer goes away mid-event,
    // and then follows whole, to every peer.
    const bytes e1 = event("admin", 6);
    const bytes e2 = event(nullptr, 2);
    for (const bool finish : {true, false}) {
        auto first = producer();
        auto second = producer();
        ASSERT_TRUE(first->write(part(e1, 0, 60)));
        ASSERT_EQ(admin->read(60), part(e1, 0, 60));
        ASSERT_TRUE(second->write(e2));
        EXPECT_TRUE(daemon->wait_for_line("busy connection: forwarding from socket ", 10000, finish ? 1 : 2))
            << daemon->stderr_text();
        EXPECT_TRUE(quiet(*admin, 200));
        if (finish) {
            ASSERT_TRUE(first->write(part(e1, 60)));
            EXPECT_EQ(admin->read(e1.size() - 60), part(e1, 60));
        } else {
            first.reset();
        }
        for (lab::Stream *end : everybody)
            EXPECT_EQ(message_of(*end), e2) << finish;
    }
    ASSERT_TRUE(producer()->write(e1));
    EXPECT_EQ(message_of(*admin), e1);

    // A stream that does not start with an event is disconnected.
    auto wrong = producer();
    ASSERT_TRUE(wrong->write(challenge_request));
    EXPECT_TRUE(wrong->read(1).empty() && wrong->closed());
    EXPECT_TRUE(daemon->wait_for_line("Received unexpected message"));
    for (lab::Stream *end : everybody)
        EXPECT_TRUE(quiet(*end));
}

TEST_F(NotifierTest, OnlyRootAndTheProducersGroupSendAndNobodySquatsTheName)
{
    auto admin = peer();
    ASSERT_EQ(login(*admin, "admin"), ok_message);
    const bytes e = event("admin");
    const malloc_ptr<sockaddr_un> name(unix_abstract_address_new("Tazul_notifier"));
    const auto connect_local = [&] {
        return lab::connect_stream(reinterpret_cast<sockaddr *>(name.get()), unix_address_length_get(name.get()));
    };
    // An unprivileged user is closed without a byte reaching the peers; the
    // producers' group admits as primary and as supplementary group.
    const struct {
        gid_t gid;
        std::vector<gid_t> groups;
        bool admitted;
    } callers[] = {{nobody, {}, false}, {producers, {}, true}, {nobody, {producers}, true}};
    for (const auto &caller : callers) {
        lab::Stream source(as_nobody(caller.gid, caller.groups, connect_local));
        static_cast<void>(source.write(e));
        if (caller.admitted) {
            EXPECT_EQ(message_of(*admin), e) << caller.gid;
        } else {
            EXPECT_TRUE(source.read(1).empty() && source.closed());
            EXPECT_TRUE(quiet(*admin));
        }
    }
    EXPECT_EQ(lab::count_lines(daemon->stderr_text(), "local connection refused: pid " + std::to_string(getpid()) +
                                                          ", uid 65534 is neither root nor in group 4242"),
              1)
        << daemon->stderr_text();
    ASSERT_TRUE(producer()->write(e));
    EXPECT_EQ(message_of(*admin), e);

    // Somebody holds the name before notifierd starts: the log names it, and
    // the status says so.
    ASSERT_EQ(daemon->stop(), 0);
    daemon.reset();
    const owned_fd squatter(as_nobody(nobody, {}, [&] {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(name.get()), unix_address_length_get(name.get())), 0);
        EXPECT_EQ(listen(fd, 3), 0);
        return fd;
    }));
    auto second = lab->start(device->addresses().host, {ORV_BUILD_DIR "/services/notifierd/notifierd", "-f"},
                             {.env = {device->bus_env()}, .tmp_dir = {}, .stdin_data = {}});
    ASSERT_TRUE(second);
    EXPECT_EQ(second->wait(10000), 3) << second->stderr_text();
    EXPECT_TRUE(second->wait_for_line("unix socket \"Tazul_notifier\" is held by another process: pid " +
                                      std::to_string(getpid()) + ", uid 65534"))
        << second->stderr_text();
}

TEST_F(NotifierTest, OrvanectlSendsAndListens)
{
    const auto run = [&](const std::string &host, std::vector<std::string> args, const std::string &input = "") {
        args.insert(args.begin(), {ORV_BUILD_DIR "/tools/orvanectl/orvanectl", "event"});
        return lab->start(host, args, {.env = {}, .tmp_dir = {}, .stdin_data = input});
    };
    const std::vector<std::string> listen = {
        "listen", device->addresses().ipv4_0, "--user", "admin", "--password-stdin", "--count", "1"};
    auto listener = run("cfg", listen, "secret\n");
    ASSERT_TRUE(listener);
    ASSERT_TRUE(listener->wait_for_line("logged in as admin")) << listener->stderr_text();
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"send", "--user", "admin", "--module", "disk", "--id", "7", "--time",
                                   "2026-01-01T10:00:00Z", "level=warning", "free=3%"},
          {"send", "--user", "bob", "only=bob"}}) {
        auto send = run(device->addresses().host, args);
        EXPECT_EQ(send->wait(), 0) << send->stderr_text();
    }
    EXPECT_EQ(listener->wait(), 0) << listener->stderr_text();
    EXPECT_EQ(listener->stdout_text(), "event user=admin module=disk id=7 time=2026-01-01T10:00:00Z\n"
                                       "    level=warning\n"
                                       "    free=3%\n");

    // A refused login: the notifier's text, status 1.
    auto refused = run("cfg", listen, "wrong\n");
    EXPECT_EQ(refused->wait(), 1);
    EXPECT_NE(refused->stderr_text().find("login refused: authentication error"), std::string::npos)
        << refused->stderr_text();

    // Ctrl-C ends listening (for an event that never comes) like every other command: status 130.
    auto endless = run("cfg", listen, "secret\n");
    ASSERT_TRUE(endless->wait_for_line("logged in as admin")) << endless->stderr_text();
    EXPECT_EQ(endless->stop(SIGINT), 130);
}

} // namespace
