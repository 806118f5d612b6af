// The daemon's command line and its life as a process, observed from outside:
// standard output and error, exit statuses, daemonising and stopping. Every
// run happens in a lab namespace, never in the host's.

#include "support/lab.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
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

// The namespace "dev" with an addressed link lab0, the daemon's private /tmp.
class DaemonProcess : public lab::LabTest {
protected:
    void SetUp() override
    {
        LabTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(lab->add_host("dev"));
        ASSERT_TRUE(lab->add_link("dev", "lab0", "02:00:00:00:00:01", {"192.0.2.10/24"}));
        tmp = lab->dir() + "/tmp";
        std::filesystem::create_directory(tmp);
    }

    std::unique_ptr<lab::Process> start(std::vector<std::string> args, std::vector<std::string> env = {})
    {
        args.insert(args.begin(), daemon_path);
        return lab->start("dev", args, {.env = std::move(env), .tmp_dir = tmp, .stdin_data = {}});
    }

    std::string tmp;
};

TEST_F(DaemonProcess, CommandLineTextsAndStatuses)
{
    struct run_case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err; // the whole of stderr, or a part when `part`
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
        {{"-b"}, 1, "", "requires an argument", true},
    };
    for (const auto &c : cases) {
        auto p = start(c.args);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->wait(5000), c.status) << c.args[0];
        EXPECT_EQ(p->stdout_text(), c.out) << c.args[0];
        const std::string err = p->stderr_text();
        if (c.part) {
            EXPECT_NE(err.find(c.err), std::string::npos) << err;
            EXPECT_TRUE(err.ends_with(usage_text)) << err;
        } else {
            EXPECT_EQ(err, c.err);
        }
    }
}

TEST_F(DaemonProcess, BackgroundDaemonDetachesAndStopsOnSigterm)
{
    // No bus at all: the detached daemon waits for one, and SIGTERM ends the wait.
    auto launcher = start({"-b", "lab0"}, {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + lab->dir() + "/no-bus"});
    ASSERT_NE(launcher, nullptr);
    EXPECT_EQ(launcher->wait(5000), 0);
    pid_t daemon = 0;
    for (int tries = 0; tries < 100 && daemon == 0; ++tries) {
        FILE *list = popen(("ip netns pids " + lab->netns("dev")).c_str(), "r");
        char line[32] = "";
        if (list != nullptr && std::fgets(line, sizeof line, list) != nullptr)
            daemon = std::atoi(line);
        if (list != nullptr)
            pclose(list);
        usleep(50000);
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

} // namespace
