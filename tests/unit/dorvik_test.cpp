// The RPC library over a real unix socket in a private directory: a server
// thread serves while clients (the library's own and raw sockets) call,
// misbehave and disconnect.
#include "lib/dorvik/rpc_client.hpp"
#include "lib/dorvik/rpc_server.hpp"
#include "lib/mirel/dictionary.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kSumSignature = 0x5eed0001;
using SumImplementation = void (*)(uint64_t context, int32_t a, int32_t b, Dictionary **result);

std::atomic<int> implementation_runs{0};

void sum_implementation(uint64_t, int32_t a, int32_t b, Dictionary **result)
{
    ++implementation_runs;
    *result = Dictionary_CreateEx(0);
    std::string sum = std::to_string(static_cast<int64_t>(a) + b);
    (void)Dictionary_Set(*result, "sum", sum.c_str());
    (void)Dictionary_Set(*result, "raw", "bad \xff utf-8");  // texts from the network may be anything
}

// Shaped like a real binding: signature, arguments, implementation, reply.
void sum_binding(RPCCall *call, RPCImplementation implementation, RPCMsg *request, RPCMsg *reply)
{
    if (RPCMsg_GetSignature(request) != kSumSignature) {
        call->status = RPC_STATUS_BAD_SIGNATURE;
        return;
    }
    int32_t a = RPCMsg_Get_Int32(call, request, "a@0");
    int32_t b = RPCMsg_Get_Int32(call, request, "b@1");
    if (call->status != 0)
        return;
    Dictionary *result = nullptr;
    reinterpret_cast<SumImplementation>(implementation)(call->context, a, b, &result);
    (void)RPCMsg_Set_Dictionary_ByRef(call, reply, "sum@2", result);
}

int open_descriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

// A client speaking raw bytes.
class RawClient {
public:
    explicit RawClient(const std::string &path)
    {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un name{};
        name.sun_family = AF_UNIX;
        std::strncpy(name.sun_path, path.c_str(), sizeof name.sun_path - 1);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&name), sizeof name) == 0;
    }
    ~RawClient() { close(); }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    bool send_text(const std::string &text) const
    {
        return send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    // The next line, or nothing on end of stream or after 5 s.
    std::optional<std::string> line()
    {
        for (int turns = 0; turns < 500; ++turns) {
            if (auto newline = pending_.find('\n'); newline != std::string::npos) {
                std::string line = pending_.substr(0, newline);
                pending_.erase(0, newline + 1);
                return line;
            }
            pollfd watched{fd_, POLLIN, 0};
            if (poll(&watched, 1, 10) <= 0)
                continue;
            char chunk[4096];
            ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0)
                return std::nullopt;
            pending_.append(chunk, static_cast<size_t>(got));
        }
        return std::nullopt;
    }
    // True once the server has closed the connection (within 5 s).
    bool closed_by_server()
    {
        pollfd watched{fd_, POLLIN, 0};
        if (poll(&watched, 1, 5000) <= 0)
            return false;
        char byte;
        ssize_t got = recv(fd_, &byte, 1, MSG_DONTWAIT);
        return got == 0 || (got < 0 && errno == ECONNRESET);
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    std::string pending_;
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
        std::string command = "rm -rf " + dir_;
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    void open(int max_connections = 0)
    {
        ASSERT_EQ(RPCServer_Init(), 0);
        server_ = RPCServer_Open(address_.c_str(), max_connections, 0);
        ASSERT_NE(server_, nullptr);
        ASSERT_EQ(RPCServer_RegisterFunction(server_, "sum", sum_binding,
                                             reinterpret_cast<RPCImplementation>(sum_implementation)),
                  0);
    }
    void start()
    {
        running_ = true;
        thread_ = std::thread([this] {
            while (running_) {
                if (RPCServer_HandleRequest(server_, 10) < 0)
                    ++failures_;
            }
        });
    }
    void stop()
    {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    // Waits (at most 5 s) for the process to hold the given number of descriptors.
    bool settles_at(int expected)
    {
        for (int turns = 0; turns < 500 && open_descriptors() != expected; ++turns)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return open_descriptors() == expected;
    }
    // A sound call through the library's client, checked end to end.
    void expect_sum_works(int32_t a, int32_t b)
    {
        RPCClient *client = RPCClient_Open(address_.c_str());
        ASSERT_NE(client, nullptr) << std::strerror(errno);
        RPCCall call{};
        RPCMsg *request = RPCMsg_Create();
        RPCMsg *reply = RPCMsg_Create();
        ASSERT_EQ(RPCMsg_Set_Int32(&call, request, "a@0", a), 0);
        ASSERT_EQ(RPCMsg_Set_Int32(&call, request, "b@1", b), 0);
        ASSERT_EQ(RPCClient_Call(client, &call, "sum", kSumSignature, request, reply, 5000), 0)
            << std::strerror(errno);
        EXPECT_EQ(call.status, 0u);
        Dictionary *result = RPCMsg_Get_Dictionary(&call, reply, "sum@2");
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(std::string(Dictionary_Get(result, "sum")), std::to_string(static_cast<int64_t>(a) + b));
        EXPECT_EQ(std::string(Dictionary_Get(result, "raw")), "bad \xef\xbf\xbd utf-8");
        Dictionary_Destroy(result);
        RPCMsg_Destroy(request);
        RPCMsg_Destroy(reply);
        RPCClient_Close(client);
    }
    std::string request(const std::string &args, uint32_t signature = kSumSignature,
                        const std::string &function = "sum")
    {
        return "{\"function\": \"" + function + "\", \"signature\": " + std::to_string(signature) +
               ", \"args\": " + args + "}\n";
    }

    std::string dir_, path_, address_;
    RPCServer *server_ = nullptr;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<int> failures_{0};
};

TEST_F(Dorvik, RegisteredFunctionGetsItsArgumentsAndReturnsItsResults)
{
    open();
    struct stat info{};
    ASSERT_EQ(lstat(path_.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0660u);
    start();

    expect_sum_works(3, 4);
    expect_sum_works(INT32_MIN, -1);

    // The wire as documented: one object per line, results only with status 0,
    // several calls on one connection.
    RawClient raw(path_);
    ASSERT_TRUE(raw.connected());
    ASSERT_TRUE(raw.send_text(request("{\"a@0\": 40, \"b@1\": 2}") + request("{\"b@1\": 1, \"a@0\": 1}")));
    EXPECT_EQ(raw.line(), "{\"status\":0,\"results\":{\"sum@2\":{\"sum\":\"42\",\"raw\":\"bad \xef\xbf\xbd utf-8\"}}}");
    EXPECT_EQ(raw.line(), "{\"status\":0,\"results\":{\"sum@2\":{\"sum\":\"2\",\"raw\":\"bad \xef\xbf\xbd utf-8\"}}}");
    EXPECT_EQ(implementation_runs, 4);
    raw.close();

    stop();
    RPCServer_Close(server_);
    server_ = nullptr;
    EXPECT_NE(lstat(path_.c_str(), &info), 0) << "socket file left behind";
    EXPECT_EQ(failures_, 0);
}

TEST_F(Dorvik, WrongSignatureAndBadArgumentsAreRefusedWithoutRunningTheFunction)
{
    open();
    start();
    RawClient raw(path_);
    ASSERT_TRUE(raw.connected());
    struct Case {
        std::string line;
        std::string reply;
    };
    const std::vector<Case> cases = {
        {request("{\"a@0\": 1, \"b@1\": 2}", 0xb4d27370), "{\"status\":4}"},
        {request("{\"a@0\": 1}"), "{\"status\":5}"},
        {request("{}"), "{\"status\":5}"},
        {request("{\"a@0\": \"1\", \"b@1\": 2}"), "{\"status\":6}"},
        {request("{\"a@0\": 1.5, \"b@1\": 2}"), "{\"status\":6}"},
        {request("{\"a@0\": true, \"b@1\": 2}"), "{\"status\":6}"},
        {request("{\"a@0\": 2147483648, \"b@1\": 2}"), "{\"status\":6}"},
        {request("{\"a@0\": -2147483649, \"b@1\": 2}"), "{\"status\":6}"},
        {request("{\"a@0\": {\"x\": \"y\"}, \"b@1\": 2}"), "{\"status\":6}"},
        {request("{\"a@0\": 1, \"b@1\": 2}", kSumSignature, "nosuch"), "{\"status\":3}"},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(raw.send_text(c.line));
        EXPECT_EQ(raw.line(), c.reply) << c.line;
    }
    EXPECT_EQ(implementation_runs, 0);

    // Refused calls leave the connection open for the next one.
    ASSERT_TRUE(raw.send_text(request("{\"a@0\": 1, \"b@1\": 2}")));
    auto reply = raw.line();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->rfind("{\"status\":0,", 0), 0u) << *reply;
    EXPECT_EQ(implementation_runs, 1);

    // Through the library's client the status arrives in the call record.
    RPCClient *client = RPCClient_Open(address_.c_str());
    ASSERT_NE(client, nullptr);
    RPCCall call{};
    RPCMsg *reply_msg = RPCMsg_Create();
    ASSERT_EQ(RPCClient_Call(client, &call, "sum", kSumSignature + 1, nullptr, reply_msg, 5000), 0);
    EXPECT_EQ(call.status, RPC_STATUS_BAD_SIGNATURE);
    EXPECT_EQ(RPCMsg_Get_Dictionary(&call, reply_msg, "sum@2"), nullptr);
    RPCMsg_Destroy(reply_msg);
    RPCClient_Close(client);
    EXPECT_EQ(implementation_runs, 1);
}

TEST_F(Dorvik, BadClientsAreDroppedWhileOthersAreServedAndNoDescriptorStays)
{
    open();
    int baseline = open_descriptors();
    start();

    {
        RawClient silent(path_);  // connects and says nothing, for the whole test
        RawClient halfway(path_);
        ASSERT_TRUE(silent.connected() && halfway.connected());
        ASSERT_TRUE(halfway.send_text("{\"function\": \"su"));
        expect_sum_works(1, 1);

        // Not an object, not a request, nested too deep, not JSON at all.
        const std::vector<std::string> malformed = {"[1, 2]", "\"sum\"", "{\"function\": \"sum\"}", "{\"function\": 7, \"signature\": 1}",
                                "{\"function\": \"sum\", \"signature\": -1}", std::string(5000, '[') + std::string(5000, ']'),
                                std::string("{\"a\": \"\xff\"}"), "not json", ""};
        for (const auto &bad : malformed) {
            RawClient client(path_);
            ASSERT_TRUE(client.send_text(bad + "\n"));
            EXPECT_EQ(client.line(), "{\"status\":1}") << bad;
            EXPECT_TRUE(client.closed_by_server()) << bad;
        }

        // An over-long line, whether it ends or not.
        for (const char *tail : {"", "\n"}) {
            RawClient client(path_);
            std::string line = request("{\"a@0\": 1, \"b@1\": 2, \"pad\": \"" + std::string(70000, 'x') + "\"}");
            line.pop_back();
            ASSERT_TRUE(client.send_text(line + tail));
            EXPECT_EQ(client.line(), "{\"status\":2}");
            EXPECT_TRUE(client.closed_by_server());
        }
        // The longest line allowed still works.
        {
            RawClient client(path_);
            std::string line = request("{\"a@0\": 5, \"b@1\": 6, \"pad\": \"\"}");
            line.insert(line.size() - 4, RPC_MAX_LINE - line.size(), 'x');
            ASSERT_EQ(line.size(), RPC_MAX_LINE);
            ASSERT_TRUE(client.send_text(line));
            auto reply = client.line();
            ASSERT_TRUE(reply);
            EXPECT_NE(reply->find("\"sum\":\"11\""), std::string::npos);
        }

        // Urgent data, where the kernel has it for unix sockets.
        {
            RawClient client(path_);
            if (send(client.fd(), "!", 1, MSG_OOB | MSG_NOSIGNAL) == 1) {
                EXPECT_TRUE(client.closed_by_server());
            }
        }

        halfway.close();  // gone mid-line
        expect_sum_works(2, 2);
        EXPECT_TRUE(silent.connected());
    }
    EXPECT_TRUE(settles_at(baseline)) << open_descriptors() << " descriptors, expected " << baseline;
    EXPECT_EQ(failures_, 0);
    EXPECT_EQ(implementation_runs, 3);
}

TEST_F(Dorvik, ConnectionsBeyondTheLimitPushOutTheQuietest)
{
    open(3);
    int baseline = open_descriptors();
    start();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<RawClient>(path_));
        ASSERT_TRUE(clients.back()->send_text(request("{\"a@0\": 1, \"b@1\": 2}")));
        ASSERT_TRUE(clients.back()->line());  // in order of activity: 0 quietest
    }
    clients.push_back(std::make_unique<RawClient>(path_));
    EXPECT_TRUE(clients[0]->closed_by_server());
    for (int i = 1; i < 4; ++i) {
        ASSERT_TRUE(clients[i]->send_text(request("{\"a@0\": 1, \"b@1\": 2}")));
        EXPECT_TRUE(clients[i]->line()) << i;
    }
    // The server holds its listener and three connections, the test four client ends.
    EXPECT_TRUE(settles_at(baseline + 3 + 4));
    int descriptors[8];
    EXPECT_EQ(RPCServer_GetAllIOSocket(server_, descriptors, 8), 4);
    EXPECT_EQ(RPCServer_GetAllIOSocket(server_, descriptors, 3), -1);
    clients.clear();
    EXPECT_TRUE(settles_at(baseline));
    EXPECT_EQ(failures_, 0);
}

TEST_F(Dorvik, HandleRequestServesOneDescriptorPerCallWithoutWaiting)
{
    open();
    int descriptors[4];
    ASSERT_EQ(RPCServer_GetAllIOSocket(server_, descriptors, 4), 1);
    EXPECT_EQ(RPCServer_HandleRequest(server_, 0), 0);  // nothing ready: returns at once

    RawClient raw(path_);
    EXPECT_EQ(RPCServer_HandleRequest(server_, 0), 1);  // the accept
    ASSERT_EQ(RPCServer_GetAllIOSocket(server_, descriptors, 4), 2);
    std::string line = request("{\"a@0\": 1, \"b@1\": 2}");
    ASSERT_TRUE(raw.send_text(line.substr(0, 10)));
    EXPECT_EQ(RPCServer_HandleRequest(server_, 0), 1);  // a part of a line: nothing dispatched
    EXPECT_EQ(RPCServer_HandleRequest(server_, 0), 0);
    EXPECT_EQ(implementation_runs, 0);
    ASSERT_TRUE(raw.send_text(line.substr(10)));
    EXPECT_EQ(RPCServer_HandleRequest(server_, 0), 1);
    EXPECT_EQ(implementation_runs, 1);
    EXPECT_TRUE(raw.line());
    raw.close();
    EXPECT_EQ(RPCServer_HandleRequest(server_, 0), 1);  // the end of the connection
    EXPECT_EQ(RPCServer_GetAllIOSocket(server_, descriptors, 4), 1);

    // The caller may drop a connection it found unusable, never the listener.
    RawClient other(path_);
    EXPECT_EQ(RPCServer_HandleRequest(server_, 0), 1);
    ASSERT_EQ(RPCServer_GetAllIOSocket(server_, descriptors, 4), 2);
    EXPECT_EQ(RPCServer_CloseConnection(server_, descriptors[0]), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(RPCServer_CloseConnection(server_, -1), -1);
    EXPECT_EQ(RPCServer_CloseConnection(nullptr, descriptors[1]), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(RPCServer_CloseConnection(server_, descriptors[1]), 0);
    EXPECT_TRUE(other.closed_by_server());
    EXPECT_EQ(RPCServer_GetAllIOSocket(server_, descriptors, 4), 1);
    start();
    expect_sum_works(3, 4);  // the listener still serves
}

TEST_F(Dorvik, OpeningRefusesBadAddressesAndLiveSocketsButReplacesStaleOnes)
{
    EXPECT_EQ(RPCServer_Open("tcp:1.2.3.4", 0, 0), nullptr);
    EXPECT_EQ(RPCServer_Open("unix:", 0, 0), nullptr);
    EXPECT_EQ(RPCServer_Open(("unix:/" + std::string(200, 'a')).c_str(), 0, 0), nullptr);
    EXPECT_EQ(RPCServer_Open(nullptr, 0, 0), nullptr);
    EXPECT_EQ(RPCClient_Open(address_.c_str()), nullptr);  // nobody there yet

    // A socket file left behind by a server that died is taken over.
    {
        int stale = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un name{};
        name.sun_family = AF_UNIX;
        std::strncpy(name.sun_path, path_.c_str(), sizeof name.sun_path - 1);
        ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr *>(&name), sizeof name), 0);
        close(stale);
    }
    open();
    // A second server cannot take the address of a live one, nor remove its file.
    EXPECT_EQ(RPCServer_Open(address_.c_str(), 0, 0), nullptr);
    EXPECT_EQ(errno, EADDRINUSE);
    struct stat info{};
    EXPECT_EQ(lstat(path_.c_str(), &info), 0);
    // Nor a plain file.
    std::string other = "unix:" + dir_ + "/plain";
    FILE *plain = fopen((dir_ + "/plain").c_str(), "w");
    ASSERT_NE(plain, nullptr);
    fclose(plain);
    EXPECT_EQ(RPCServer_Open(other.c_str(), 0, 0), nullptr);
    EXPECT_EQ(lstat((dir_ + "/plain").c_str(), &info), 0);
    start();
    expect_sum_works(0, 0);
}

}  // namespace
