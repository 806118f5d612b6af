// The RPC server over a real unix socket in a private directory: a server
// thread serves while a raw client calls. Misbehaving clients are driven
// against the daemon itself (tests/lab/browse_test.cpp).
#include "lib/dorvik/rpc_server.hpp"
#include "lib/mirel/dictionary.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

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
    Dictionary *result = nullptr;
    if (call->status == 0) {
        reinterpret_cast<decltype(&sum_implementation)>(implementation)(call->context, a, b, &result);
        (void)RPCMsg_Set_Dictionary_ByRef(call, reply, "sum@2", result);
    }
}

std::string request(const std::string &args, uint32_t signature = kSumSignature, const std::string &function = "sum")
{
    return "{\"function\": \"" + function + "\", \"signature\": " + std::to_string(signature) + ", \"args\": " + args + "}\n";
}

const std::string good = request("{\"a@0\": 40, \"b@1\": 2}");
const std::string answer = "{\"status\":0,\"results\":{\"sum@2\":{\"sum\":\"42\",\"raw\":\"bad \xef\xbf\xbd utf-8\"}}}";

// A client speaking raw bytes.
struct RawClient {
    explicit RawClient(const std::string &path) : fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un name{AF_UNIX, {}};
        std::strncpy(name.sun_path, path.c_str(), sizeof name.sun_path - 1);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&name), sizeof name), 0);
    }
    ~RawClient() { close(fd); }
    // Sends the text; the next line, "<closed>" at end of stream, "<silence>" after the wait.
    std::string say(const std::string &text, int wait_ms = 5000)
    {
        (void)send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        size_t newline;
        while ((newline = pending.find('\n')) == std::string::npos) {
            char chunk[4096];
            pollfd watched{fd, POLLIN, 0};
            if (poll(&watched, 1, wait_ms) <= 0)
                return "<silence>";
            const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0)
                return "<closed>";
            pending.append(chunk, static_cast<size_t>(got));
        }
        std::string line = pending.substr(0, newline);
        pending.erase(0, newline + 1);
        return line;
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
        implementation_runs = 0;
    }
    void TearDown() override
    {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
        RPCServer_Close(server_);
        RPCServer_Cleanup();
        EXPECT_EQ(std::system(("rm -rf " + dir_).c_str()), 0);
    }
    void serve()
    {
        ASSERT_EQ(RPCServer_Init(), 0);
        ASSERT_NE(server_ = RPCServer_Open(("unix:" + path_).c_str(), 0, 0), nullptr);
        ASSERT_EQ(RPCServer_RegisterFunction(server_, "sum", sum_binding, reinterpret_cast<RPCImplementation>(sum_implementation)), 0);
        running_ = true;
        thread_ = std::thread([this] {
            while (running_)
                failures_ += RPCServer_HandleRequest(server_, 10) < 0;
        });
    }
    std::string dir_, path_;
    RPCServer *server_ = nullptr;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<int> failures_{0};
};

TEST_F(Dorvik, CallsReachTheFunctionAndRefusalsDoNot)
{
    serve();
    struct stat info{};
    ASSERT_EQ(lstat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0660u);

    // The wire: one object per line, results only with status 0; a refused
    // call leaves the connection open for the next one.
    RawClient raw(path_);
    const std::pair<std::string, std::string> cases[] = {
        {request("{\"a@0\": 1, \"b@1\": 2}", 0xb4d27370), "{\"status\":4}"},
        {request("{\"a@0\": 1}"), "{\"status\":5}"},
        {request("{\"a@0\": \"1\", \"b@1\": 2}"), "{\"status\":6}"},
        {request("{\"a@0\": 2147483648, \"b@1\": 2}"), "{\"status\":6}"},
        {request("{}", kSumSignature, "nosuch"), "{\"status\":3}"},
        {good, answer},
    };
    for (const auto &[line, reply] : cases)
        EXPECT_EQ(raw.say(line), reply) << line;
    EXPECT_EQ(raw.say(good + good), answer);  // two in one write
    EXPECT_EQ(raw.say(""), answer);
    EXPECT_EQ(implementation_runs, 3);

    running_ = false;
    thread_.join();
    RPCServer_Close(server_);
    server_ = nullptr;
    EXPECT_NE(lstat(path_.c_str(), &info), 0) << "socket file left behind";
    EXPECT_EQ(failures_, 0);
}

}  // namespace
