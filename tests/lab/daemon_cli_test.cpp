// The daemon as a process, observed from outside: its command line (standard
// output and error, exit statuses), daemonising, the start-up waits for the
// bus and the configuration service and what systemd is told meanwhile,
// binding to the service's primary interface, and stopping. Every run
// happens in a lab namespace, never in the host's.

#include "support/dbus_lab.hpp"
#include "support/ipconf_device.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string daemon_path = ORV_BUILD_DIR "/daemon/orvaned";

const std::string usage_text = "usage: " + daemon_path +
                               " [options]\n"
                               "options:\n"
                               "\t-h        \tprint this help\n"
                               "\t-v        \tprint version\n"
                               "\t-f        \trun in foreground (instead of background daemon by default)\n"
                               "\t-c        \tlog to console\n"
                               "\t-m <mode> \t{normal, sleep, rescue, not-configurable}\n"
                               "\t-u        \tPUID (MAC address of first up interface by default)\n"
                               "\t-b <network interface to bind to (primary network interface by default)>\n";

// The namespace "dev" with an addressed link lab0, the daemon's private /tmp,
// and the lab's bus (whose address the daemon inherits) without the service.
class DaemonProcess : public lab::DbusLabTest {
protected:
    void SetUp() override
    {
        DbusLabTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(lab->add_host("dev"));
        ASSERT_TRUE(lab->add_link("dev", "lab0", "02:00:00:00:00:01", {"192.0.2.10/24"}));
        std::filesystem::create_directory(lab->dir() + "/tmp");
    }

    std::unique_ptr<lab::Process> start(std::vector<std::string> args, std::vector<std::string> env = {})
    {
        args.insert(args.begin(), daemon_path);
        return lab->start("dev", args, {.env = std::move(env), .tmp_dir = lab->dir() + "/tmp", .stdin_data = {}});
    }
};

TEST_F(DaemonProcess, CommandLineTextsAndStatuses)
{
    struct run_case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err; // the whole of stderr, or a part followed by the usage when `part`
        bool part = false;
    };
    const std::string sixteen = "abcdefghijklmnop";
    const std::vector<run_case> cases = {
        {{"-h"}, 0, "version " ORV_VERSION "\n" + usage_text, ""},
        {{"-v"}, 0, "version " ORV_VERSION "\n", ""},
        {{"-m", "Normal"}, 1, "", "ERROR: unknown mode: Normal\n" + usage_text, true},
        // 16 characters leave no room for the terminator.
        {{"-f", "-b", sixteen}, 1, "", "ERROR: interface name too long: " + sixteen + "\n" + usage_text},
        {{"-x"}, 1, "", "invalid option", true},
    };
    for (const auto &c : cases) {
        auto p = start(c.args);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->wait(5000), c.status) << c.args[0];
        EXPECT_EQ(p->stdout_text(), c.out) << c.args[0];
        const std::string err = p->stderr_text();
        EXPECT_TRUE(c.part ? err.find(c.err) != std::string::npos && err.ends_with(usage_text) : err == c.err) << err;
    }
}

TEST_F(DaemonProcess, BackgroundDaemonDetachesAndStopsOnSigterm)
{
    // No bus at all: the detached daemon waits for one, and SIGTERM ends the wait.
    auto launcher = start({"-b", "lab0"}, {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + lab->dir() + "/no-bus"});
    ASSERT_NE(launcher, nullptr);
    EXPECT_EQ(launcher->wait(5000), 0);
    pid_t daemon = 0;
    for (int tries = 0; tries < 100 && daemon == 0; ++tries, usleep(50000)) {
        auto pids = lab::spawn({"/usr/bin/ip", "netns", "pids", lab->netns("dev")}, lab->dir() + "/pids");
        daemon = pids && pids->wait() == 0 ? std::atoi(pids->stdout_text().c_str()) : 0;
    }
    ASSERT_GT(daemon, 0);
    const auto proc = std::filesystem::path("/proc") / std::to_string(daemon);
    EXPECT_EQ(std::filesystem::read_symlink(proc / "cwd"), "/");
    EXPECT_EQ(std::filesystem::read_symlink(proc / "fd" / "1"), "/dev/null");
    EXPECT_EQ(std::filesystem::read_symlink(proc / "fd" / "2"), "/dev/null");
    EXPECT_EQ(getsid(daemon), daemon) << "a session of its own";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(proc / "task"), {}), 1);
    // Nothing was written to our standard streams once it detached.
    EXPECT_EQ(launcher->stdout_text() + launcher->stderr_text(), "");

    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    for (int tries = 0; tries < 200 && std::filesystem::exists(proc); ++tries)
        usleep(50000);
    EXPECT_FALSE(std::filesystem::exists(proc));
    if (std::filesystem::exists(proc))
        kill(daemon, SIGKILL); // not left behind whatever happened
}

TEST_F(DaemonProcess, WaitsForTheServiceThenBindsToItsPrimaryInterfaceAndEndsWithoutOne)
{
    // Started as systemd starts it: its status says what it waits for, and it
    // is ready only once a LOOK is answered. A refused PUID does not stop it.
    // SIGTERM ends another one's wait with status 1.
    lab::NotifySocket notify(lab->dir());
    auto daemon = start({"-f", "-u", "too-short"}, {notify.env()});
    auto waiting = start({"-f"});
    ASSERT_TRUE(daemon && waiting);
    auto peer = lab::add_configurator(*lab);
    ASSERT_TRUE(peer);
    for (auto *each : {daemon.get(), waiting.get()})
        ASSERT_TRUE(each->wait_for_line("Connection to Cendrix Dbus service failed, retrying", 5000))
            << each->stderr_text();
    EXPECT_TRUE(daemon->stderr_text().starts_with("orvaned: start\n")) << daemon->stderr_text();
    EXPECT_FALSE(notify.wait_for("READY=1", 0));
    EXPECT_TRUE(notify.wait_for("STATUS=Waiting for the configuration service", 0)) << notify.received();
    EXPECT_EQ(waiting->stop(SIGTERM, 5000), 1);
    EXPECT_TRUE(waiting->stderr_text().ends_with("orvaned: stop\n")) << waiting->stderr_text();
    for (auto *each : {daemon.get(), waiting.get()})
        EXPECT_FALSE(each->wait_for_line("Trying to bind", 0));
    ASSERT_TRUE(bus->start_service());
    // The next probe, at most one 3-second wait later, finds it.
    ASSERT_TRUE(notify.wait_for("READY=1", 8000)) << daemon->stderr_text();
    EXPECT_TRUE(daemon->wait_for_line("Trying to bind to lab0", 0));
    EXPECT_TRUE(peer->look(2000)) << daemon->stderr_text();
    EXPECT_EQ(daemon->stop(), 0);
    EXPECT_TRUE(daemon->stderr_text().ends_with("orvaned: stop\n")) << daemon->stderr_text();

    // A primary interface the service does not list: nothing to bind, status 0.
    ASSERT_EQ(bus->stop_service(), 0);
    std::string store = lab::sample_store();
    store.replace(store.find("\"primary_interface_id\": 1"), 25, "\"primary_interface_id\": 9");
    ASSERT_TRUE(bus->write_store(store));
    ASSERT_TRUE(bus->start_service());
    auto unbound = start({"-f"});
    ASSERT_NE(unbound, nullptr);
    EXPECT_EQ(unbound->wait(10000), 0) << unbound->stderr_text();
    // Closing the server that never opened still reports its RPC endpoint down.
    EXPECT_NE(unbound->stderr_text().find("orvaned: Could not get primary network interface\norvaned: RPC server "
                                          "down\norvaned: stop\n"),
              std::string::npos)
        << unbound->stderr_text();
}

} // namespace
