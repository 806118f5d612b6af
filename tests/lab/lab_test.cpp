// The lab itself: traffic crosses the bridge between hosts, processes run in
// their namespace, and nothing outlives the test, also when it crashes.
#include "support/lab.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

class LabSelfTest : public lab::LabTest {};

bool namespace_exists(const std::string &name)
{
    return std::filesystem::exists("/run/netns/" + name);
}

// Namespaces whose name carries the given process id.
int namespaces_of(pid_t pid)
{
    int count = 0;
    std::string prefix = "orv" + std::to_string(pid) + ".";
    for (const auto &entry : std::filesystem::directory_iterator("/run/netns"))
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            ++count;
    return count;
}

TEST_F(LabSelfTest, DatagramCrossesTheBridgeBetweenHosts)
{
    ASSERT_TRUE(lab->add_host("a"));
    ASSERT_TRUE(lab->add_host("b"));
    ASSERT_TRUE(lab->add_link("a", "lab0", "02:00:00:00:0a:01", {"192.0.2.1/24"}));
    ASSERT_TRUE(lab->add_link("b", "lab0", "02:00:00:00:0b:01", {"192.0.2.2/24"}));

    int receiver = -1;
    {
        auto in = lab->enter("b");
        ASSERT_TRUE(in.ok());
        receiver = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(5000);
        ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    }
    auto sent = lab->run_in("a", [](std::string &output) {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(5000);
        inet_pton(AF_INET, "192.0.2.2", &to.sin_addr);
        // The first datagram may wait for ARP; a few tries keep it bounded.
        for (int i = 0; i < 3; ++i)
            if (sendto(s, "hello", 5, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) != 5)
                output += std::strerror(errno);
        return output.empty() ? 0 : 1;
    });
    EXPECT_EQ(sent.status, 0) << sent.output;
    pollfd pfd{receiver, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 3000), 1);
    char buffer[16] = {};
    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    EXPECT_EQ(recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &from_length), 5);
    EXPECT_STREQ(buffer, "hello");
    char from_text[16];
    inet_ntop(AF_INET, &from.sin_addr, from_text, sizeof from_text);
    EXPECT_STREQ(from_text, "192.0.2.1");
    close(receiver);
}

TEST_F(LabSelfTest, ProcessRunsInItsNamespaceWithCapturedOutput)
{
    ASSERT_TRUE(lab->add_host("dev"));
    ASSERT_TRUE(lab->add_link("dev", "lab7", "02:00:00:00:07:07", {"198.51.100.7/24"}));
    auto p = lab->start("dev", {"/bin/sh", "-c", "ip -o link show lab7 >&2; echo \"$ORV_X\"; read line; "
                                                 "echo \"got $line\" >&2; exit 3"},
                        {.env = {"ORV_X=from-env"}, .tmp_dir = {}, .stdin_data = "input\n"});
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(p->wait_for_line("02:00:00:00:07:07"));
    EXPECT_TRUE(p->wait_for_stdout_line("from-env"));
    EXPECT_TRUE(p->wait_for_line("got input"));
    EXPECT_EQ(p->wait(), 3);
    EXPECT_FALSE(p->wait_for_line("never written", 100));

    auto sleeper = lab->start("dev", {"/bin/sleep", "30"});
    ASSERT_NE(sleeper, nullptr);
    EXPECT_TRUE(sleeper->running());
    EXPECT_EQ(sleeper->stop(SIGTERM), 128 + SIGTERM);
}

TEST_F(LabSelfTest, PrivateTmpIsSharedOnlyByProcessesGivenTheSameFolder)
{
    ASSERT_TRUE(lab->add_host("dev"));
    std::string tmp = lab->dir() + "/tmp";
    std::filesystem::create_directory(tmp);
    auto writer = lab->start("dev", {"/bin/sh", "-c", "echo shared > /tmp/orvlab-marker"}, {.env = {}, .tmp_dir = tmp, .stdin_data = {}});
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(writer->wait(), 0);
    EXPECT_TRUE(std::filesystem::exists(tmp + "/orvlab-marker"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/orvlab-marker"));
}

TEST_F(LabSelfTest, NamespacesGoAwayOnDestructionCrashAndKill)
{
    ASSERT_TRUE(lab->add_host("h"));
    std::string name = lab->netns("h");
    EXPECT_TRUE(namespace_exists(name));
    lab.reset();
    EXPECT_FALSE(namespace_exists(name));

    // A test that aborts after building a lab.
    pid_t crashed = fork();
    if (crashed == 0) {
        lab::Lab doomed;
        if (!doomed.add_host("h") || namespaces_of(getpid()) != 2)
            _exit(1);
        std::abort();
    }
    int status = 0;
    ASSERT_EQ(waitpid(crashed, &status, 0), crashed);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
    EXPECT_EQ(namespaces_of(crashed), 0);

    // A test killed outright: the next lab sweeps what it left.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t killed = fork();
    if (killed == 0) {
        lab::Lab doomed;
        if (doomed.add_host("h"))
            (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    EXPECT_EQ(namespaces_of(killed), 2);
    kill(killed, SIGKILL);
    waitpid(killed, nullptr, 0);
    lab = std::make_unique<lab::Lab>();
    EXPECT_EQ(namespaces_of(killed), 0);
    for (const auto &entry : std::filesystem::directory_iterator("/tmp"))
        EXPECT_NE(entry.path().filename().string().rfind("orvlab." + std::to_string(killed) + ".", 0), 0u);
}

} // namespace
