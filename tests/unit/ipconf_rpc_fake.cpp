// The RPC endpoint as a local program sees it: a real client on the daemon's
// socket in a private /tmp, with the browse client replaced by a fake that
// records its calls and answers with prepared devices.
#include "ipconf/ipconf_rpc.hpp"
#include "ipconf/libipconf.hpp"
#include "lib/dorvik/rpc_client.hpp"
#include "tests/unit/support/private_tmp.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {
std::vector<std::vector<std::string>> fake_devices;  // hostname, ip, product id, product name
std::vector<std::pair<int, int>> browse_calls;       // (socket, timeout)
}  // namespace

ipconf_device *ipconf_browse(int socket, int timeout)
{
    browse_calls.emplace_back(socket, timeout);
    auto *list = static_cast<ipconf_device *>(calloc(fake_devices.size() + 1, sizeof(ipconf_device)));
    for (size_t i = 0; i < fake_devices.size(); ++i) {
        const auto &d = fake_devices[i];
        list[i] = {strdup(d[0].c_str()), strdup(d[1].c_str()), strdup(d[2].c_str()), strdup(d[3].c_str())};
    }
    return list;
}

void ipconf_free_device_list(ipconf_device *list)
{
    for (ipconf_device *d = list; d->ip != nullptr; ++d) {
        for (char *text : {d->hostname, d->ip, d->product_id, d->product_name})
            free(text);
    }
    free(list);
}

namespace {

int registered_count(const select_set &registered)
{
    int count = 0;
    for (int fd = 0; fd < FD_SETSIZE; ++fd)
        count += FD_ISSET(fd, &registered.read) ? 1 : 0;
    return count;
}

// Calls "ipconf_browse" from a client thread while this thread runs the
// daemon's loop; the reply dictionary as "key=value;" text.
std::string call(select_set &registered, uint32_t signature, bool with_timeout, uint32_t &status)
{
    std::atomic<bool> done{false};
    std::string result;
    std::thread client([&] {
        RPCClient *rpc = RPCClient_Open("unix:/tmp/orvane_rpc_13.sock");
        RPCCall rpc_call{};
        RPCMsg *request = RPCMsg_Create(), *reply = RPCMsg_Create();
        if (with_timeout)
            (void)RPCMsg_Set_Int32(&rpc_call, request, "timeout@0", 3);
        EXPECT_EQ(RPCClient_Call(rpc, &rpc_call, "ipconf_browse", signature, request, reply, 5000), 0);
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
    for (int turns = 0; turns < 500 && (!done || registered_count(registered) > 1); ++turns) {
        select_set ready = registered;
        timeval wait{0, 10000};
        if (select(ready.highest + 1, &ready.read, &ready.write, &ready.except, &wait) > 0) {
            EXPECT_EQ(ipconf_rpc_server(&registered, &ready), 0);
        }
    }
    client.join();
    return result;
}

TEST(IpconfRpc, OpensAboveEveryNumberInTmpServesBrowseAndCleansUp)
{
    if (!orv_test::private_tmp())
        GTEST_SKIP() << "no private /tmp (mount namespaces unavailable)";
    for (const char *name : {"/tmp/orvane_rpc_3.sock", "/tmp/orvane_rpc_12.old", "/tmp/orvane_rpc_x",
                             "/tmp/orvane_rpc_99999999999999.sock"})
        std::ofstream(name) << "";
    testing::internal::CaptureStderr();
    openlog("orvaned", LOG_PERROR, LOG_USER);
    select_set registered;
    select_set_zero(&registered);
    ASSERT_EQ(ipconf_rpc_open(77, &registered), 0);
    struct stat info{};
    ASSERT_EQ(lstat("/tmp/orvane_rpc_13.sock", &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));

    fake_devices = {{"dev-2", "192.0.2.2,198.51.100.2", "PX-2", "Example Two"}, {"", "", "", ""}};
    uint32_t status = 99;
    EXPECT_EQ(call(registered, 0xb4d27370, true, status),
              "00000.hostname=dev-2;00000.ip=192.0.2.2,198.51.100.2;00000.product-id=PX-2;"
              "00000.product-name=Example Two;00001.hostname=;00001.ip=;00001.product-id=;00001.product-name=;");
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(browse_calls, (std::vector<std::pair<int, int>>{{77, 3}}));

    // Refused calls never reach the browse.
    EXPECT_EQ(call(registered, 0xb4d27371, true, status), "");
    EXPECT_EQ(status, 4u);
    EXPECT_EQ(call(registered, 0xb4d27370, false, status), "");
    EXPECT_NE(status, 0u);
    EXPECT_EQ(browse_calls.size(), 1u);

    ipconf_rpc_close(&registered);
    EXPECT_NE(lstat("/tmp/orvane_rpc_13.sock", &info), 0);
    EXPECT_EQ(registered_count(registered), 0);
    closelog();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "orvaned: [libmirel] notice: listening on unix:/tmp/orvane_rpc_13.sock\norvaned: RPC server up\n"
              "orvaned: RPC server down\n");
}

// An exception condition fails the turn without serving a request. On a
// connection (a local client sent an out-of-band byte, which nothing reads)
// it would stay reported forever, so that connection is dropped; the
// listener is never dropped.
TEST(IpconfRpc, AnExceptionFailsTheTurnButLeavesNoConnectionToReportItAgain)
{
    if (!orv_test::private_tmp())
        GTEST_SKIP() << "no private /tmp (mount namespaces unavailable)";
    std::ofstream("/tmp/orvane_rpc_12.old") << "";  // the socket is orvane_rpc_13.sock
    testing::internal::CaptureStderr();
    openlog("orvaned", LOG_PERROR, LOG_USER);
    select_set registered;
    select_set_zero(&registered);
    ASSERT_EQ(ipconf_rpc_open(5, &registered), 0);
    const int listener = registered.highest;
    auto turn = [&](select_set &ready) {
        ready = registered;
        timeval wait{0, 200000};
        return select(ready.highest + 1, &ready.read, &ready.write, &ready.except, &wait);
    };
    auto open_descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto baseline = open_descriptors();

    int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un name{AF_UNIX, "/tmp/orvane_rpc_13.sock"};
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&name), sizeof name), 0);
    select_set ready;
    ASSERT_EQ(turn(ready), 1);
    FD_SET(listener, &ready.except);  // as if the listener failed
    EXPECT_EQ(ipconf_rpc_server(&registered, &ready), -1);
    EXPECT_EQ(registered_count(registered), 1);  // not accepted in that turn, and not dropped
    ASSERT_EQ(turn(ready), 1);
    EXPECT_EQ(ipconf_rpc_server(&registered, &ready), 0);
    ASSERT_EQ(registered_count(registered), 2);
    const int connection = registered.highest;

    ASSERT_EQ(send(client, "!", 1, MSG_OOB | MSG_NOSIGNAL), 1);
    ASSERT_GE(turn(ready), 1);
    ASSERT_TRUE(FD_ISSET(connection, &ready.except));
    EXPECT_EQ(ipconf_rpc_server(&registered, &ready), -1);
    // Gone from the select set and from the process; the client sees the end.
    EXPECT_EQ(registered_count(registered), 1);
    EXPECT_FALSE(FD_ISSET(connection, &registered.except));
    EXPECT_EQ(open_descriptors(), baseline + 1);  // the test's own client end
    pollfd closed{client, POLLIN, 0};
    EXPECT_EQ(poll(&closed, 1, 2000), 1);
    char byte;
    const ssize_t got = recv(client, &byte, 1, MSG_DONTWAIT);
    EXPECT_TRUE(got == 0 || (got < 0 && errno == ECONNRESET)) << got;
    close(client);
    EXPECT_EQ(turn(ready), 0);  // calm

    fake_devices = {{"dev-2", "192.0.2.2", "PX-2", "Two"}};
    uint32_t status = 99;
    EXPECT_EQ(call(registered, 0xb4d27370, true, status),
              "00000.hostname=dev-2;00000.ip=192.0.2.2;00000.product-id=PX-2;00000.product-name=Two;");
    ipconf_rpc_close(&registered);
    closelog();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("orvaned: error on RPC socket: " + std::to_string(listener) + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("orvaned: error on RPC socket: " + std::to_string(connection) + "\n"), std::string::npos) << log;
}

}  // namespace
