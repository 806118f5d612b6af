// The RPC endpoint as a local program sees it: a real client on the daemon's
// socket in a private /tmp, with the browse client replaced by a fake that
// records its calls and answers with prepared devices.
#include "ipconf/ipconf_rpc.hpp"
#include "ipconf/libipconf.hpp"
#include "lib/dorvik/rpc_client.hpp"
#include "tests/unit/support/private_tmp.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct FakeDevice {
    std::string hostname, ip, product_id, product_name;
};
std::vector<FakeDevice> fake_devices;
std::vector<std::pair<int, int>> browse_calls;  // (socket, timeout)

char *copy(const std::string &text)
{
    return strdup(text.c_str());
}

}  // namespace

ipconf_device *ipconf_browse(int socket, int timeout)
{
    browse_calls.emplace_back(socket, timeout);
    auto *list = static_cast<ipconf_device *>(calloc(fake_devices.size() + 1, sizeof(ipconf_device)));
    for (size_t i = 0; i < fake_devices.size(); ++i) {
        const auto &d = fake_devices[i];
        list[i] = {copy(d.hostname), copy(d.ip), copy(d.product_id), copy(d.product_name)};
    }
    return list;
}

void ipconf_free_device_list(ipconf_device *list)
{
    for (ipconf_device *d = list; d != nullptr && d->ip != nullptr; ++d) {
        free(d->hostname);
        free(d->ip);
        free(d->product_id);
        free(d->product_name);
    }
    free(list);
}

namespace {

class IpconfRpc : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!orv_test::private_tmp())
            GTEST_SKIP() << "no private /tmp (mount namespaces unavailable)";
        ASSERT_EQ(std::system("rm -rf /tmp/* /tmp/.[!.]* 2>/dev/null; true"), 0);
        fake_devices.clear();
        browse_calls.clear();
        select_set_zero(&registered_);
        // syslog lines are echoed on standard error, which goes to a file here.
        fflush(stderr);
        saved_stderr_ = dup(STDERR_FILENO);
        int log = open("/tmp/.log", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(log, 0);
        dup2(log, STDERR_FILENO);
        close(log);
        openlog("orvaned", LOG_PERROR, LOG_USER);
    }
    void TearDown() override
    {
        if (saved_stderr_ >= 0) {
            closelog();
            dup2(saved_stderr_, STDERR_FILENO);
            close(saved_stderr_);
        }
    }
    std::string log() const
    {
        std::ifstream in("/tmp/.log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    int registered_count() const
    {
        int count = 0;
        for (int fd = 0; fd < FD_SETSIZE; ++fd)
            count += FD_ISSET(fd, &registered_.read) ? 1 : 0;
        return count;
    }

    // Calls ipconf_browse from a client thread while this thread runs the
    // daemon's loop; the reply dictionary as "key=value;" text.
    std::string call(const char *address, uint32_t signature, bool with_timeout, int32_t timeout,
                     uint32_t &status)
    {
        std::atomic<bool> done{false};
        std::string result;
        int outcome = -1;
        std::thread client([&] {
            RPCClient *rpc = RPCClient_Open(address);
            RPCCall rpc_call{};
            RPCMsg *request = RPCMsg_Create();
            RPCMsg *reply = RPCMsg_Create();
            if (with_timeout)
                (void)RPCMsg_Set_Int32(&rpc_call, request, "timeout@0", timeout);
            if (rpc != nullptr)
                outcome = RPCClient_Call(rpc, &rpc_call, "ipconf_browse", signature, request, reply, 5000);
            status = rpc_call.status;
            if (Dictionary *devices = RPCMsg_Get_Dictionary(&rpc_call, reply, "devices@1")) {
                for (size_t i = 0; i < Dictionary_Count(devices); ++i)
                    result += std::string(Dictionary_KeyAt(devices, i)) + "=" + Dictionary_ValueAt(devices, i) + ";";
                Dictionary_Destroy(devices);
            }
            RPCMsg_Destroy(request);
            RPCMsg_Destroy(reply);
            RPCClient_Close(rpc);
            done = true;
        });
        // Serve until the client is done and its connection is gone again.
        for (int turns = 0; turns < 500 && (!done || registered_count() > 1); ++turns) {
            select_set ready = registered_;
            timeval wait{0, 10000};
            if (select(ready.highest + 1, &ready.read, &ready.write, &ready.except, &wait) > 0) {
                EXPECT_EQ(ipconf_rpc_server(&registered_, &ready), 0);
            }
        }
        client.join();
        EXPECT_EQ(outcome, 0);
        return result;
    }

    select_set registered_{};
    int saved_stderr_ = -1;
};

TEST_F(IpconfRpc, OpensAboveEveryNumberInTmpServesBrowseAndCleansUp)
{
    for (const char *name : {"/tmp/orvane_rpc_3.sock", "/tmp/orvane_rpc_12.old", "/tmp/orvane_rpc_x",
                             "/tmp/orvane_rpc_99999999999999.sock", "/tmp/orvane_rpc_2147483647.sock"})
        std::ofstream(name) << "";
    ASSERT_EQ(ipconf_rpc_open(77, &registered_), 0);
    const char *address = "unix:/tmp/orvane_rpc_13.sock";
    struct stat info{};
    ASSERT_EQ(lstat("/tmp/orvane_rpc_13.sock", &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(registered_count(), 1);

    fake_devices = {{"dev-2", "192.0.2.2,198.51.100.2", "PX-2", "Example Two"}, {"", "", "", ""}};
    uint32_t status = 99;
    EXPECT_EQ(call(address, 0xb4d27370, true, 3, status),
              "00000.hostname=dev-2;00000.ip=192.0.2.2,198.51.100.2;00000.product-id=PX-2;"
              "00000.product-name=Example Two;00001.hostname=;00001.ip=;00001.product-id=;00001.product-name=;");
    EXPECT_EQ(status, 0u);
    ASSERT_EQ(browse_calls.size(), 1u);
    EXPECT_EQ(browse_calls[0], std::make_pair(77, 3));
    // The connection has closed: only the listener stays registered.
    EXPECT_EQ(registered_count(), 1);

    fake_devices.clear();
    EXPECT_EQ(call(address, 0xb4d27370, true, 0, status), "");
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(browse_calls.size(), 2u);

    // Refused calls never reach the browse.
    EXPECT_EQ(call(address, 0xb4d27371, true, 3, status), "");
    EXPECT_EQ(status, 4u);
    EXPECT_EQ(call(address, 0xb4d27370, false, 0, status), "");
    EXPECT_NE(status, 0u);
    EXPECT_EQ(browse_calls.size(), 2u);

    ipconf_rpc_close(&registered_);
    EXPECT_NE(lstat("/tmp/orvane_rpc_13.sock", &info), 0);
    EXPECT_EQ(registered_count(), 0);

    std::string lines = log();
    EXPECT_NE(lines.find("orvaned: RPC server up\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find("orvaned: [libmirel] notice: listening on unix:/tmp/orvane_rpc_13.sock\n"),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find("orvaned: RPC server down\n"), std::string::npos) << lines;
}

TEST_F(IpconfRpc, ExceptionOnADescriptorStopsTheTurnBeforeAnyRequest)
{
    ASSERT_EQ(ipconf_rpc_open(5, &registered_), 0);  // first server: number 1
    RPCClient *client = RPCClient_Open("unix:/tmp/orvane_rpc_1.sock");
    ASSERT_NE(client, nullptr);

    int listener = -1;
    for (int fd = 0; fd < FD_SETSIZE && listener < 0; ++fd) {
        if (FD_ISSET(fd, &registered_.read))
            listener = fd;
    }
    select_set ready{};
    select_set_zero(&ready);
    FD_SET(listener, &ready.read);
    FD_SET(listener, &ready.except);
    EXPECT_EQ(ipconf_rpc_server(&registered_, &ready), -1);
    EXPECT_EQ(registered_count(), 1);  // nothing accepted in that turn

    FD_CLR(listener, &ready.except);
    EXPECT_EQ(ipconf_rpc_server(&registered_, &ready), 0);
    EXPECT_EQ(registered_count(), 2);  // the accepted connection is watched now

    RPCClient_Close(client);
    ipconf_rpc_close(&registered_);
    ipconf_rpc_close(&registered_);  // closing twice is harmless
    EXPECT_NE(log().find("orvaned: error on RPC socket: " + std::to_string(listener) + "\n"), std::string::npos);
}

// A local client that sends an out-of-band byte leaves an exception
// condition on its connection until someone reads that byte: the turn that
// sees it is reported as an error, but the connection is gone afterwards, so
// the next select is calm and the endpoint still serves.
TEST_F(IpconfRpc, UrgentDataDropsThatConnectionAndTheNextTurnIsCalm)
{
    auto descriptors_open = [] {
        int count = 0;
        if (DIR *dir = opendir("/proc/self/fd")) {
            while (dirent *entry = readdir(dir))
                count += entry->d_name[0] != '.' ? 1 : 0;
            closedir(dir);
        }
        return count;
    };
    ASSERT_EQ(ipconf_rpc_open(9, &registered_), 0);
    int baseline = descriptors_open();

    int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    std::strcpy(name.sun_path, "/tmp/orvane_rpc_1.sock");
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&name), sizeof name), 0);
    auto one_turn = [&](select_set &ready) {
        ready = registered_;
        timeval wait{0, 200000};
        return select(ready.highest + 1, &ready.read, &ready.write, &ready.except, &wait);
    };
    select_set ready{};
    ASSERT_EQ(one_turn(ready), 1);  // the listener
    ASSERT_EQ(ipconf_rpc_server(&registered_, &ready), 0);
    ASSERT_EQ(registered_count(), 2);
    int connection = -1;
    for (int fd = 0; fd < FD_SETSIZE; ++fd) {
        if (FD_ISSET(fd, &registered_.read) && !FD_ISSET(fd, &ready.read))
            connection = fd;  // registered now, but not the one that was ready
    }
    ASSERT_GE(connection, 0);

    if (send(client, "!", 1, MSG_OOB | MSG_NOSIGNAL) != 1) {
        close(client);
        ipconf_rpc_close(&registered_);
        GTEST_SKIP() << "no out-of-band data on unix sockets in this kernel";
    }
    ASSERT_GE(one_turn(ready), 1);
    ASSERT_TRUE(FD_ISSET(connection, &ready.except));
    EXPECT_EQ(ipconf_rpc_server(&registered_, &ready), -1);
    EXPECT_NE(log().find("orvaned: error on RPC socket: " + std::to_string(connection) + "\n"), std::string::npos);

    // The daemon side holds only its listener again, in the select set and
    // in the process; the client sees its connection closed.
    EXPECT_EQ(registered_count(), 1);
    EXPECT_FALSE(FD_ISSET(connection, &registered_.read) || FD_ISSET(connection, &registered_.except));
    EXPECT_EQ(descriptors_open(), baseline + 1);  // the test's own client end
    char byte;
    pollfd closed{client, POLLIN, 0};
    EXPECT_EQ(poll(&closed, 1, 2000), 1);
    errno = 0;
    ssize_t got = recv(client, &byte, 1, MSG_DONTWAIT);
    EXPECT_TRUE(got == 0 || (got < 0 && errno == ECONNRESET)) << got << " " << std::strerror(errno);
    close(client);
    EXPECT_EQ(one_turn(ready), 0);  // calm: nothing ready, no exception

    uint32_t status = 99;
    fake_devices = {{"dev-2", "192.0.2.2", "PX-2", "Two"}};
    EXPECT_EQ(call("unix:/tmp/orvane_rpc_1.sock", 0xb4d27370, true, 1, status),
              "00000.hostname=dev-2;00000.ip=192.0.2.2;00000.product-id=PX-2;00000.product-name=Two;");
    EXPECT_EQ(status, 0u);
    ipconf_rpc_close(&registered_);
}

}  // namespace
