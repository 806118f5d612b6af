// The daemon's command line and its life as a process, observed from outside:
// standard output and error, exit statuses, daemonising and stopping.
// Every run happens in a network namespace of its own, never in the host's.

#include "support/dbus_lab.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string daemon_path = ORV_BUILD_DIR "/daemon/orvaned";

const std::string usage_text = "usage: " + daemon_path + " [options]\n"
    "options:\n"
    "\t-h        \tprint this help\n"
    "\t-v        \tprint version\n"
    "\t-f        \trun in foreground (instead of background daemon by default)\n"
    "\t-c        \tlog to console\n"
    "\t-m <mode> \t{normal, sleep, rescue, not-configurable}\n"
    "\t-u        \tPUID (MAC address of first up interface by default)\n"
    "\t-b <network interface to bind to (primary network interface by default)>\n";

std::string read_file(const std::filesystem::path &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool wait_for(const std::function<bool()> &condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

// A network namespace of its own with one veth link "lab0" (up, addressed) and
// its peer, so the daemon has an interface to bind to and reaches nothing else.
class DaemonProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for network namespaces";
        netns = "orvcli" + std::to_string(getpid());
        ASSERT_EQ(shell("ip netns add " + netns), 0);
        ASSERT_EQ(shell("ip -n " + netns + " link set lo up && ip -n " + netns +
                        " link add lab0 type veth peer name lab0p && ip -n " + netns +
                        " link set lab0 up && ip -n " + netns + " link set lab0p up && ip -n " + netns +
                        " addr add 192.0.2.10/24 dev lab0"),
                  0);
        scratch = std::filesystem::temp_directory_path() / ("orvcli" + std::to_string(getpid()));
        std::filesystem::create_directories(scratch);
    }

    void TearDown() override
    {
        if (netns.empty())
            return;
        // Any daemon left in the namespace is ended before it goes.
        shell("for p in $(ip netns pids " + netns + " 2>/dev/null); do kill -9 $p; done");
        shell("ip netns del " + netns);
        std::filesystem::remove_all(scratch);
    }

    static int shell(const std::string &command)
    {
        const int status = std::system((command + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Starts the daemon in the namespace with stdout and stderr in files.
    pid_t start(const std::vector<std::string> &args)
    {
        const pid_t pid = fork();
        if (pid == 0) {
            const int out = open((scratch / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open((scratch / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<std::string> words = {"ip", "netns", "exec", netns, daemon_path};
            words.insert(words.end(), args.begin(), args.end());
            std::vector<char *> argv;
            for (auto &word : words)
                argv.push_back(word.data());
            argv.push_back(nullptr);
            execvp("ip", argv.data());
            _exit(127);
        }
        return pid;
    }

    static int wait_status(pid_t pid)
    {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    int run_to_end(const std::vector<std::string> &args) { return wait_status(start(args)); }

    std::string out() const { return read_file(scratch / "out"); }
    std::string err() const { return read_file(scratch / "err"); }

    std::string netns;
    std::filesystem::path scratch;
};

TEST_F(DaemonProcess, HelpAndVersionGoToStandardOutput)
{
    EXPECT_EQ(run_to_end({"-h"}), 0);
    EXPECT_EQ(out(), "version 2.4\n" + usage_text);
    EXPECT_EQ(err(), "");

    EXPECT_EQ(run_to_end({"-v"}), 0);
    EXPECT_EQ(out(), "version 2.4\n");
    EXPECT_EQ(err(), "");

    // Options take effect from left to right: -v ends the run before -x is seen.
    EXPECT_EQ(run_to_end({"-v", "-x"}), 0);
    EXPECT_EQ(out(), "version 2.4\n");
}

TEST_F(DaemonProcess, RefusedArgumentsPrintTheSyntaxErrorLineAndUsage)
{
    EXPECT_EQ(run_to_end({"-m", "Normal"}), 1);
    EXPECT_EQ(out(), "");
    EXPECT_NE(err().find("ERROR: unknown mode: Normal\n" + usage_text), std::string::npos) << err();

    EXPECT_EQ(run_to_end({"-m", "sleep "}), 1);
    EXPECT_NE(err().find("ERROR: unknown mode: sleep \n"), std::string::npos) << err();

    // 16 characters leave no room for the terminator: refused like 17.
    for (const std::string name : {"abcdefghijklmnop", "abcdefghijklmnopq"}) {
        EXPECT_EQ(run_to_end({"-f", "-b", name}), 1) << name;
        EXPECT_EQ(err(), "ERROR: interface name too long: " + name + "\n" + usage_text);
    }
}

TEST_F(DaemonProcess, UnknownOptionAndMissingArgumentGiveUsageAndStatusOne)
{
    EXPECT_EQ(run_to_end({"-x"}), 1);
    EXPECT_NE(err().find("invalid option"), std::string::npos) << err();
    EXPECT_TRUE(err().ends_with(usage_text)) << err();

    EXPECT_EQ(run_to_end({"-b"}), 1);
    EXPECT_NE(err().find("requires an argument"), std::string::npos) << err();
    EXPECT_TRUE(err().ends_with(usage_text)) << err();
    EXPECT_EQ(out(), "");
}

TEST_F(DaemonProcess, ForegroundDaemonLogsToStderrAndStopsOnSigterm)
{
    // The configuration service on a private bus, which the daemon inherits.
    lab::DbusLab bus(scratch);
    ASSERT_TRUE(bus.start_bus());
    ASSERT_TRUE(bus.write_store(lab::sample_store()));
    ASSERT_TRUE(bus.start_service());
    // A 15-character name is the longest accepted; a refused PUID does not stop the daemon.
    const pid_t pid = start({"-f", "-u", "too-short", "-b", "lab0"});
    ASSERT_TRUE(wait_for([&] { return err().find("Ipconf socket bound to lab0\n") != std::string::npos; })) << err();
    EXPECT_NE(err().find("Trying to bind to lab0\n"), std::string::npos) << err();
    EXPECT_NE(err().find("orvaned: start\n"), std::string::npos) << err();
    // One process and one thread, waiting in select.
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(wait_status(pid), 0);
    EXPECT_TRUE(err().ends_with("orvaned: stop\n")) << err();
}

TEST_F(DaemonProcess, BackgroundDaemonDetachesAndStopsOnSigterm)
{
    // No bus at all: the detached daemon waits for one, and SIGTERM ends the wait.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (scratch / "no-bus").string()).c_str(), 1);
    const pid_t launcher = start({"-b", "lab0"});
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    EXPECT_EQ(wait_status(launcher), 0);

    pid_t daemon = 0;
    ASSERT_TRUE(wait_for([&] {
        std::string pids;
        FILE *list = popen(("ip netns pids " + netns).c_str(), "r");
        char line[32];
        while (list != nullptr && fgets(line, sizeof line, list) != nullptr)
            pids += line;
        if (list != nullptr)
            pclose(list);
        daemon = pids.empty() ? 0 : std::atoi(pids.c_str());
        return daemon > 0;
    }));
    const auto proc = std::filesystem::path("/proc") / std::to_string(daemon);
    EXPECT_EQ(std::filesystem::read_symlink(proc / "cwd"), "/");
    EXPECT_EQ(std::filesystem::read_symlink(proc / "fd" / "1"), "/dev/null");
    EXPECT_EQ(std::filesystem::read_symlink(proc / "fd" / "2"), "/dev/null");
    // Its own session, detached from ours.
    EXPECT_EQ(getsid(daemon), daemon);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(proc / "task"), {}), 1);
    // Nothing was written to our standard streams once it detached.
    EXPECT_EQ(out(), "");
    EXPECT_EQ(err(), "");

    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    EXPECT_TRUE(wait_for([&] { return !std::filesystem::exists(proc); }));
}

} // namespace
