// The lab itself: nothing outlives the test, also when it crashes or is
// killed. Traffic between hosts, environment, input, exit status and the
// private /tmp are what every other lab test relies on.
#include "support/lab.hpp"

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
