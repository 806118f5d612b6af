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
#include <filesystem>
#include <fstream>
#include <string>

namespace {

class LabSelfTest : public lab::LabTest {};

// Namespaces and folders whose name carries the given process id.
int leftovers_of(pid_t pid)
{
    int count = 0;
    const std::string id = std::to_string(pid) + ".";
    for (const char *folder : {"/run/netns", "/run"})
        for (const auto &entry : std::filesystem::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            count += name.rfind("orv" + id, 0) == 0 || name.rfind("orvlab." + id, 0) == 0 ? 1 : 0;
        }
    return count;
}

bool alive(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string id, name, state;
    return in >> id >> name >> state && state != "Z";
}

TEST_F(LabSelfTest, DatagramCrossesTheBridgeAndProcessesRunInTheirNamespace)
{
    ASSERT_TRUE(lab->add_host("a"));
    ASSERT_TRUE(lab->add_host("b"));
    ASSERT_TRUE(lab->add_link("a", "lab0", "02:00:00:00:0a:01", {"192.0.2.1/24"}));
    ASSERT_TRUE(lab->add_link("b", "lab7", "02:00:00:00:0b:01", {"192.0.2.2/24"}));
    int receiver = -1, sender = -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(5000);
    {
        auto in = lab->enter("b");
        receiver = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    }
    {
        auto in = lab->enter("a");
        sender = socket(AF_INET, SOCK_DGRAM, 0);
    }
    inet_pton(AF_INET, "192.0.2.2", &address.sin_addr);
    ASSERT_EQ(sendto(sender, "hello", 5, 0, reinterpret_cast<sockaddr *>(&address), sizeof address), 5);
    pollfd pfd{receiver, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 3000), 1);
    char buffer[16] = {};
    socklen_t length = sizeof address;
    EXPECT_EQ(recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&address), &length), 5);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(address.sin_addr.s_addr, inet_addr("192.0.2.1"));
    close(receiver);
    close(sender);

    // In b's namespace, with its environment, input, private /tmp and status.
    const std::string tmp = lab->dir() + "/tmp";
    std::filesystem::create_directory(tmp);
    auto p = lab->start("b",
                        {"/bin/sh", "-c", "ip -o link show lab7 >&2; echo \"$ORV_X\"; read line; "
                                          "echo \"got $line\" >&2; echo x > /tmp/orvlab-marker; exit 3"},
                        {.env = {"ORV_X=from-env"}, .tmp_dir = tmp, .stdin_data = "input\n"});
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->wait(), 3);
    EXPECT_TRUE(p->wait_for_line("02:00:00:00:0b:01"));
    EXPECT_TRUE(p->wait_for_line("got input"));
    EXPECT_EQ(p->stdout_text(), "from-env\n");
    EXPECT_FALSE(p->wait_for_line("never written", 100));
    EXPECT_TRUE(std::filesystem::exists(tmp + "/orvlab-marker"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/orvlab-marker"));

    auto sleeper = lab->start("a", {"/bin/sleep", "30"});
    ASSERT_NE(sleeper, nullptr);
    EXPECT_TRUE(sleeper->running());
    EXPECT_EQ(sleeper->stop(SIGTERM), 128 + SIGTERM);
}

TEST_F(LabSelfTest, NothingOutlivesDestructionCrashOrKill)
{
    ASSERT_TRUE(lab->add_host("h"));
    EXPECT_EQ(leftovers_of(getpid()), 3) << "bridge, host, folder";
    lab.reset();
    EXPECT_EQ(leftovers_of(getpid()), 0);

    // A test that aborts, and one killed outright (the next lab sweeps what
    // it left), each with a process running in its namespace.
    for (int sig : {SIGABRT, SIGKILL}) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        if (child == 0) {
            lab::Lab doomed;
            auto sleeper = doomed.add_host("h") ? doomed.start("h", {"/bin/sleep", "30"}) : nullptr;
            const pid_t pid = sleeper && leftovers_of(getpid()) == 3 ? sleeper->pid() : 0;
            (void)!write(ready[1], &pid, sizeof pid);
            if (sig == SIGABRT)
                std::abort();
            pause();
            _exit(0);
        }
        close(ready[1]);
        pid_t sleeper = 0;
        ASSERT_EQ(read(ready[0], &sleeper, sizeof sleeper), static_cast<ssize_t>(sizeof sleeper));
        close(ready[0]);
        ASSERT_GT(sleeper, 0);
        kill(child, sig);
        waitpid(child, nullptr, 0);
        lab = std::make_unique<lab::Lab>();
        EXPECT_EQ(leftovers_of(child), 0) << sig;
        for (int waited = 0; waited < 2000 && alive(sleeper); waited += 20)
            usleep(20000);
        EXPECT_FALSE(alive(sleeper)) << "the process in its namespace still runs after " << sig;
    }
}

} // namespace
