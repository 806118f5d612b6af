// The reference configuration service on a real private bus: what it refuses
// at start, how writes are checked, persisted and survive a restart or a
// SIGKILL, and how --apply-delay and --notify-writer pace what readers see.

#include "lib/cendrix/cendrix.hpp"
#include "support/dbus_lab.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using nlohmann::json;

const std::string service_path = ORV_BUILD_DIR "/services/cendrixd/cendrixd";

class Cendrixd : public lab::DbusLabTest {};

// A client context of the library, closed with the test.
struct client {
    cendrix_context context{};
    client() { EXPECT_EQ(cendrix_init(&context), 0); }
    ~client() { cendrix_close(&context); }
};

std::string hostname_of(cendrix_context &context)
{
    if (cendrix_reset(&context) != 0 || cendrix_get_config(&context, 17) != 0)
        return "<unreadable>";
    char *text = cendrix_get_property_string(&context, "hostname");
    std::string name = text == nullptr ? "<absent>" : text;
    std::free(text);
    return name;
}

int set_hostname(cendrix_context &context, const char *name)
{
    cendrix_reset(&context);
    cendrix_set_property_string(&context, "hostname", name);
    return cendrix_set_config(&context, 17);
}

TEST_F(Cendrixd, MissingOrMalformedStoresAreRefusedInOneLineAndLeftUntouched)
{
    const std::string store = bus->store_path();
    // Runs cendrixd to its end (it refuses before reaching the bus): status and stderr.
    const auto run = [&] {
        auto p = lab::spawn({service_path, "--store", store}, lab->dir() + "/refused");
        const int status = p ? p->wait(5000) : -1;
        return std::pair<int, std::string>(status, p ? p->stderr_text() : "");
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"configurations": {"17": {"hostname": "x"}})", "not JSON"},
        {R"([1, 2])", "not a JSON object"},
        {R"({"configurations": {"17": {"n": 4294967296}}})", "not a text, a number from 0 to 4294967295"},
        {R"({"resources": {"6": [{"id": 1}, {"id": 1}]}})", "\"id\" 1 used twice"},
    };
    for (const auto &[text, fault] : cases) {
        ASSERT_TRUE(bus->write_store(text));
        const auto [status, err] = run();
        EXPECT_EQ(status, 1) << text;
        EXPECT_EQ(err.rfind("cendrixd: store " + store + ": ", 0), 0u) << err;
        EXPECT_NE(err.find(fault), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(bus->read_store(), text);
    }
    unlink(store.c_str());
    EXPECT_EQ(run(), std::make_pair(1, "cendrixd: store " + store + ": cannot read: No such file or directory\n"));
    EXPECT_NE(access(store.c_str(), F_OK), 0);
}

TEST_F(Cendrixd, WritesAreCheckedMergedPersistedAndSurviveARestart)
{
    ASSERT_TRUE(bus->start_service());
    {
        client c;
        EXPECT_EQ(set_hostname(c.context, "renamed"), 0);
        // Persisted before the call returned.
        EXPECT_EQ(json::parse(bus->read_store())["configurations"]["17"]["hostname"], "renamed");

        cendrix_reset(&c.context);
        cendrix_set_property_uint32(&c.context, "id", 10);
        ASSERT_EQ(cendrix_find_resource(&c.context, 26), 0);
        cendrix_set_property_string(&c.context, "ipv4", "198.51.100.20");
        EXPECT_EQ(cendrix_set_resource(&c.context, 26, 10), 0);

        // Refused writes change nothing: another type, a changed id, an
        // unknown configuration or resource.
        const std::string before = bus->read_store();
        cendrix_reset(&c.context);
        cendrix_set_property_uint32(&c.context, "hostname", 5);
        EXPECT_EQ(cendrix_set_config(&c.context, 17), -1);
        cendrix_reset(&c.context);
        cendrix_set_property_uint32(&c.context, "id", 11);
        EXPECT_EQ(cendrix_set_resource(&c.context, 26, 10), -1);
        EXPECT_EQ(cendrix_set_config(&c.context, 99), -1);
        EXPECT_EQ(cendrix_set_resource(&c.context, 26, 99), -1);
        EXPECT_EQ(bus->read_store(), before);
    }
    EXPECT_EQ(bus->stop_service(), 0);
    EXPECT_TRUE(bus->service()->wait_for_line("cendrixd: wrote configuration 17 {\"hostname\":\"renamed\"}", 0));
    EXPECT_TRUE(bus->service()->wait_for_line("cendrixd: stopped", 0));
    ASSERT_TRUE(bus->start_service());
    client c;
    EXPECT_EQ(hostname_of(c.context), "renamed");
    cendrix_reset(&c.context);
    cendrix_set_property_string(&c.context, "ipv4", "198.51.100.20");
    ASSERT_EQ(cendrix_find_resource(&c.context, 26), 0);
    char *netmask = cendrix_get_property_string(&c.context, "netmask");
    ASSERT_NE(netmask, nullptr);
    EXPECT_STREQ(netmask, "255.255.255.0"); // merged, not replaced
    std::free(netmask);
}

TEST_F(Cendrixd, DelayedWritesShowOnlyAfterTheDelayAndThenSignalTheWriter)
{
    ASSERT_TRUE(bus->start_service({"--apply-delay", "2", "--notify-writer"}));
    sigset_t hup, previous;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &hup, &previous), 0);

    client c;
    ASSERT_EQ(set_hostname(c.context, "later"), 0);
    // Stored at once, held back from readers.
    EXPECT_EQ(json::parse(bus->read_store())["configurations"]["17"]["hostname"], "later");
    EXPECT_EQ(hostname_of(c.context), "device-1");
    const timespec one_second{1, 0};
    EXPECT_EQ(sigtimedwait(&hup, nullptr, &one_second), -1) << "signalled before the write showed";
    EXPECT_EQ(hostname_of(c.context), "device-1");

    const timespec four_seconds{4, 0};
    EXPECT_EQ(sigtimedwait(&hup, nullptr, &four_seconds), SIGHUP);
    EXPECT_EQ(hostname_of(c.context), "later");
    EXPECT_TRUE(bus->service()->wait_for_line("cendrixd: sent SIGHUP to " + std::to_string(getpid()), 1000));
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

TEST_F(Cendrixd, KillNineDuringWritesNeverLeavesAnUnreadableStore)
{
    constexpr int rounds = 12;
    int written_rounds = 0;
    for (int round = 0; round < rounds; ++round) {
        ASSERT_TRUE(bus->start_service()) << "round " << round;
        const pid_t writer = fork();
        if (writer == 0) {
            cendrix_context context{};
            if (cendrix_init(&context) != 0)
                _exit(2);
            for (int write = 0; write < 5000; ++write) {
                const std::string name = "name-" + std::to_string(round) + "-" + std::to_string(write);
                if (set_hostname(context, name.c_str()) != 0)
                    break;
            }
            _exit(0);
        }
        ASSERT_GT(writer, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(40 + 23 * round));
        EXPECT_EQ(bus->stop_service(SIGKILL), 128 + SIGKILL);
        kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);

        const json store = json::parse(bus->read_store(), nullptr, false);
        ASSERT_FALSE(store.is_discarded()) << "round " << round << ":\n" << bus->read_store();
        const std::string name = store["configurations"]["17"]["hostname"];
        EXPECT_TRUE(name == "device-1" || name.rfind("name-" + std::to_string(round) + "-", 0) == 0) << name;
        if (name != "device-1")
            ++written_rounds;
        EXPECT_EQ(store["resources"]["26"].size(), 2u);
        // The next round starts from the sample store again.
        ASSERT_TRUE(bus->write_store(lab::sample_store()));
    }
    // The kills did land in the middle of writing.
    EXPECT_GT(written_rounds, rounds / 2);
}

} // namespace
