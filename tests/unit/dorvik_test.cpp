// The RPC library over a real unix socket in a private directory: a server
// thread serves while clients (the library's own and raw sockets) call,
// misbehave and disconnect.
#include "lib/dorvik/rpc_client.hpp"
#include "lib/dorvik/rpc_server.hpp"
#include "lib/mirel/dictionary.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kSumSignature = 0x5eed0001;
std::atomic<int> implementation_runs{0};

void sum_implementation(uint64_t, int32_t a, int32_t b, Dictionary **result)
{
    ++implementation_runs;
    *result = Dictionary_CreateEx(0);
    (void)Dictionary_Set(*result, "sum", std::to_string(int64_t{a} + b).c_str());
    (void)Dictionary_Set(*result, "raw", "bad \xff utf-8");  // texts from the network may be anything
}

// Shaped like a real binding: signature, arguments, implementation, reply.
void sum_binding(RPCCall *call, RPCImplementation implementation, RPCMsg *request, RPCMsg *reply)
{
    if (RPCMsg_GetSignature(request) != kSumSignature) {
        call->status = RPC_STATUS_BAD_SIGNATURE;
        return;
    }
    const int32_t a = RPCMsg_Get_Int32(call, request, "a@0"), b = RPCMsg_Get_Int32(call, request, "b@1");
    if (call->status != 0)
        return;
    Dictionary *result = nullptr;
    reinterpret_cast<void (*)(uint64_t, int32_t, int32_t, Dictionary **)>(implementation)(call->context, a, b, &result);
    (void)RPCMsg_Set_Dictionary_ByRef(call, reply, "sum@2", result);
}

int open_descriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dirent *entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

std::string request(const std::string &args, uint32_t signature = kSumSignature, const std::string &function = "sum")
{
    return "{\"function\": \"" + function + "\", \"signature\": " + std::to_string(signature) + ", \"args\": " + args +
           "}\n";
}

// A client speaking raw bytes.
struct RawClient {
    explicit RawClient(const std::string &path) : fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un name{AF_UNIX, {}};
        std::strncpy(name.sun_path, path.c_str(), sizeof name.sun_path - 1);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&name), sizeof name), 0);
    }
    ~RawClient() { close(fd); }
    bool send_text(const std::string &text) const
    {
        return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    // The next line; "" on end of stream or after 5 s.
    std::string line()
    {
        char chunk[4096];
        ssize_t got;
        size_t newline;
        while ((newline = pending.find('\n')) == std::string::npos) {
            pollfd watched{fd, POLLIN, 0};
            if (poll(&watched, 1, 5000) <= 0 || (got = recv(fd, chunk, sizeof chunk, 0)) <= 0)
                return "";
            pending.append(chunk, static_cast<size_t>(got));
        }
        std::string line = pending.substr(0, newline);
        pending.erase(0, newline + 1);
        return line;
    }
    // True once the server has closed the connection (within 5 s).
    bool closed_by_server() const
    {
        pollfd watched{fd, POLLIN, 0};
        char byte;
        return poll(&watched, 1, 5000) > 0 && recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
    }
    int fd;
    std::string pending;
};

class Dorvik : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/dorvik_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/orvane_rpc_1.sock";
        address_ = "unix:" + path_;
        implementation_runs = 0;
    }
    void TearDown() override
    {
        stop();
        RPCServer_Close(server_);
        RPCServer_Cleanup();
        EXPECT_EQ(std::system(("rm -rf " + dir_).c_str()), 0);
    }
    void open(int max_connections = 0)
    {
        ASSERT_EQ(RPCServer_Init(), 0);
        ASSERT_NE(server_ = RPCServer_Open(address_.c_str(), max_connections, 0), nullptr);
        ASSERT_EQ(RPCServer_RegisterFunction(server_, "sum", sum_binding,
                                             reinterpret_cast<RPCImplementation>(sum_implementation)), 0);
    }
    void serve(int max_connections = 0)
    {
        open(max_connections);
        baseline_ = open_descriptors();
        running_ = true;
        thread_ = std::thread([this] {
            while (running_)
                failures_ += RPCServer_HandleRequest(server_, 10) < 0;
        });
    }
    void stop()
    {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    // Waits (at most 5 s) for the process to hold this many descriptors.
    bool settles_at(int expected) const
    {
        for (int turns = 0; turns < 500 && open_descriptors() != expected; ++turns)
            usleep(10000);
        return open_descriptors() == expected;
    }
    // A call through the library's client; the status, and the sum when 0.
    uint32_t call_sum(uint32_t signature, int32_t a, int32_t b, std::string *sum = nullptr)
    {
        RPCClient *client = RPCClient_Open(address_.c_str());
        EXPECT_NE(client, nullptr) << std::strerror(errno);
        RPCCall call{};
        RPCMsg *request = RPCMsg_Create(), *reply = RPCMsg_Create();
        EXPECT_EQ(RPCMsg_Set_Int32(&call, request, "a@0", a), 0);
        EXPECT_EQ(RPCMsg_Set_Int32(&call, request, "b@1", b), 0);
        EXPECT_EQ(RPCClient_Call(client, &call, "sum", signature, request, reply, 5000), 0) << std::strerror(errno);
        const uint32_t status = call.status;  // before reading the reply, which sets it too
        if (Dictionary *result = RPCMsg_Get_Dictionary(&call, reply, "sum@2")) {
            if (sum)
                *sum = Dictionary_Get(result, "sum");
            EXPECT_STREQ(Dictionary_Get(result, "raw"), "bad \xef\xbf\xbd utf-8");
            Dictionary_Destroy(result);
        }
        RPCMsg_Destroy(request);
        RPCMsg_Destroy(reply);
        RPCClient_Close(client);
        return status;
    }

    std::string dir_, path_, address_;
    RPCServer *server_ = nullptr;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<int> failures_{0};
    int baseline_ = 0;
};

TEST_F(Dorvik, CallsReachTheFunctionAndRefusalsDoNot)
{
    serve();
    struct stat info{};
    ASSERT_EQ(lstat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0660u);
    std::string sum;
    EXPECT_EQ(call_sum(kSumSignature, INT32_MIN, -1, &sum), 0u);
    EXPECT_EQ(sum, "-2147483649");
    EXPECT_EQ(call_sum(kSumSignature + 1, 1, 1), RPC_STATUS_BAD_SIGNATURE);
    EXPECT_EQ(implementation_runs, 1);

    // The wire: one object per line, several calls on one connection, results
    // only with status 0, and a refused call leaves the connection open.
    RawClient raw(path_);
    const std::pair<std::string, std::string> cases[] = {
        {request("{\"a@0\": 40, \"b@1\": 2}"), "{\"status\":0,\"results\":{\"sum@2\":{\"sum\":\"42\",\"raw\":\"bad \xef\xbf\xbd utf-8\"}}}"},
        {request("{\"a@0\": 1, \"b@1\": 2}", 0xb4d27370), "{\"status\":4}"},
        {request("{\"a@0\": 1}"), "{\"status\":5}"},
        {request("{\"a@0\": \"1\", \"b@1\": 2}"), "{\"status\":6}"},
        {request("{\"a@0\": 1.5, \"b@1\": 2}"), "{\"status\":6}"},
        {request("{\"a@0\": 2147483648, \"b@1\": 2}"), "{\"status\":6}"},
        {request("{\"a@0\": 1, \"b@1\": 2}", kSumSignature, "nosuch"), "{\"status\":3}"},
        {request("{\"b@1\": 1, \"a@0\": 1}"), "{\"status\":0,\"results\":{\"sum@2\":{\"sum\":\"2\",\"raw\":\"bad \xef\xbf\xbd utf-8\"}}}"},
    };
    ASSERT_TRUE(raw.send_text(cases[0].first + cases[1].first));  // two in one write
    for (size_t i = 0; i < std::size(cases); ++i) {
        if (i > 1) {
            ASSERT_TRUE(raw.send_text(cases[i].first));
        }
        EXPECT_EQ(raw.line(), cases[i].second) << cases[i].first;
    }
    EXPECT_EQ(implementation_runs, 3);

    stop();
    RPCServer_Close(server_);
    server_ = nullptr;
    EXPECT_NE(lstat(path_.c_str(), &info), 0) << "socket file left behind";
    EXPECT_EQ(failures_, 0);
}

TEST_F(Dorvik, BadClientsAreDroppedWhileOthersAreServedAndNoDescriptorStays)
{
    serve();
    {
        RawClient silent(path_);  // connects and says nothing, for the whole test
        auto halfway = std::make_unique<RawClient>(path_);
        ASSERT_TRUE(halfway->send_text("{\"function\": \"su"));
        EXPECT_EQ(call_sum(kSumSignature, 1, 1), 0u);

        const std::string too_long = request("{\"pad\": \"" + std::string(70000, 'x') + "\"}");
        const std::pair<std::string, std::string> bad[] = {
            {"[1, 2]\n", "{\"status\":1}"},
            {"{\"function\": \"sum\"}\n", "{\"status\":1}"},
            {std::string(5000, '[') + std::string(5000, ']') + "\n", "{\"status\":1}"},
            {"not json\n", "{\"status\":1}"},
            {too_long, "{\"status\":2}"},
            {too_long.substr(0, too_long.size() - 1), "{\"status\":2}"},  // not even ended
        };
        for (const auto &[line, reply] : bad) {
            RawClient client(path_);
            ASSERT_TRUE(client.send_text(line));
            EXPECT_EQ(client.line(), reply) << line.substr(0, 40);
            EXPECT_TRUE(client.closed_by_server()) << line.substr(0, 40);
        }
        // The longest line allowed still works.
        RawClient longest(path_);
        std::string line = request("{\"a@0\": 5, \"b@1\": 6, \"pad\": \"\"}");
        line.insert(line.size() - 4, RPC_MAX_LINE - line.size(), 'x');
        ASSERT_TRUE(longest.send_text(line));
        EXPECT_NE(longest.line().find("\"sum\":\"11\""), std::string::npos);

        halfway.reset();  // gone mid-line
        EXPECT_EQ(call_sum(kSumSignature, 2, 2), 0u);
    }
    EXPECT_TRUE(settles_at(baseline_)) << open_descriptors() << " descriptors, expected " << baseline_;
    EXPECT_EQ(failures_, 0);
    EXPECT_EQ(implementation_runs, 3);
}

TEST_F(Dorvik, ConnectionsBeyondTheLimitPushOutTheQuietest)
{
    serve(3);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<RawClient>(path_));
        if (i < 3) {  // in order of activity: 0 quietest
            ASSERT_TRUE(clients.back()->send_text(request("{\"a@0\": 1, \"b@1\": 2}")));
            ASSERT_NE(clients.back()->line(), "");
        }
    }
    EXPECT_TRUE(clients[0]->closed_by_server());
    for (int i = 1; i < 4; ++i) {
        ASSERT_TRUE(clients[i]->send_text(request("{\"a@0\": 1, \"b@1\": 2}")));
        EXPECT_NE(clients[i]->line(), "") << i;
    }
    clients.clear();
    EXPECT_TRUE(settles_at(baseline_));
}

TEST_F(Dorvik, OpenTakesOverOnlyStaleSocketsAndEachTurnServesOneDescriptor)
{
    int stale = socket(AF_UNIX, SOCK_STREAM, 0);  // left behind by a server that died
    sockaddr_un name{AF_UNIX, {}};
    std::strncpy(name.sun_path, path_.c_str(), sizeof name.sun_path - 1);
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr *>(&name), sizeof name), 0);
    close(stale);
    open();

    int descriptors[4];
    EXPECT_EQ(RPCServer_HandleRequest(server_, 0), 0);  // nothing ready: returns at once
    auto raw = std::make_unique<RawClient>(path_);
    EXPECT_EQ(RPCServer_HandleRequest(server_, 0), 1);  // the accept
    ASSERT_EQ(RPCServer_GetAllIOSocket(server_, descriptors, 4), 2);
    EXPECT_EQ(RPCServer_GetAllIOSocket(server_, descriptors, 1), -1);
    const std::string line = request("{\"a@0\": 1, \"b@1\": 2}");
    ASSERT_TRUE(raw->send_text(line.substr(0, 10)));
    EXPECT_EQ(RPCServer_HandleRequest(server_, 0), 1);  // a part of a line: nothing dispatched
    EXPECT_EQ(implementation_runs, 0);
    ASSERT_TRUE(raw->send_text(line.substr(10)));
    EXPECT_EQ(RPCServer_HandleRequest(server_, 0), 1);
    EXPECT_EQ(implementation_runs, 1);
    raw.reset();
    EXPECT_EQ(RPCServer_HandleRequest(server_, 0), 1);  // the end of the connection
    EXPECT_EQ(RPCServer_GetAllIOSocket(server_, descriptors, 4), 1);

    // Neither a live server's address nor a plain file is taken or removed.
    EXPECT_EQ(RPCServer_Open(address_.c_str(), 0, 0), nullptr);
    EXPECT_EQ(errno, EADDRINUSE);
    fclose(fopen((dir_ + "/plain").c_str(), "w"));
    EXPECT_EQ(RPCServer_Open(("unix:" + dir_ + "/plain").c_str(), 0, 0), nullptr);
    struct stat info{};
    EXPECT_EQ(lstat(path_.c_str(), &info), 0);
    EXPECT_EQ(lstat((dir_ + "/plain").c_str(), &info), 0);
}

}  // namespace
