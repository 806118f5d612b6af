// orvanectl as a person runs it, without any network: help texts and man
// pages, the dump of captured messages, refusals of malformed arguments, and
// browse against an RPC server on a unix socket in a private /tmp. Nothing
// else here may reach a socket: every other command line either asks for
// help, dumps, or is refused before the command opens its port.
#include "lib/dorvik/rpc_server.hpp"
#include "tests/unit/support/private_tmp.hpp"
#include "util/tlv_ez.hpp"

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string program = ORV_BUILD_DIR "/tools/orvanectl/orvanectl";

struct outcome {
    int status;
    std::string out, err;
};

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string write_temp(const std::string &bytes)
{
    char path[] = "/tmp/orvanectl_test.XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    return path;
}

// Runs the program with the arguments and the given standard input.
outcome run(const std::vector<std::string> &args, const std::string &input = "", const std::string &binary = program)
{
    const std::string in = write_temp(input), out = write_temp(""), err = write_temp("");
    std::string command = "'" + binary + "'";
    for (const auto &arg : args)
        command += " '" + arg + "'";
    const int raw = std::system((command + " <" + in + " >" + out + " 2>" + err).c_str());
    outcome result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    for (const auto &path : {in, out, err})
        std::remove(path.c_str());
    return result;
}

// The OK that device 00:11:22:33:44:55 sends to 192.168.1.10: 55 bytes.
const std::string ok_message = std::string("OK\0\0\0\0\0\x2f", 8) + std::string("PUID\0\0\0\x12", 8) +
                               std::string("00:11:22:33:44:55\0", 18) + std::string("ADDR\0\0\0\x0d", 8) +
                               std::string("192.168.1.10\0", 13);

TEST(Orvanectl, EveryHelpTextWorksAndItsOptionsAreInTheManPage)
{
    const outcome top = run({"--help"});
    EXPECT_EQ(top.status, 0);
    struct page {
        std::string binary, man;
        std::vector<std::vector<std::string>> helps;
    };
    std::vector<page> pages = {{program, "orvanectl.1.scd", {{"--help"}}},
                               {ORV_BUILD_DIR "/daemon/orvaned", "orvaned.8.scd", {{"-h"}}},
                               {ORV_BUILD_DIR "/services/cendrixd/cendrixd", "cendrixd.8.scd", {{"--help"}}}};
    const std::regex command_line(R"(\n  ([a-z]+) )");
    for (std::sregex_iterator it(top.out.begin(), top.out.end(), command_line), end; it != end; ++it)
        pages[0].helps.push_back({(*it)[1], "--help"});
    ASSERT_GE(pages[0].helps.size(), 5u);
    // The options a help text names: "-x" or "--long-name" after a space, '[', '(' or '|'.
    const std::regex option(R"((?:^|[\s\[(|])(--?[a-z][a-z0-9-]*))");
    for (const auto &p : pages) {
        const std::string man = slurp(ORV_SOURCE_DIR "/dist/man/" + p.man);
        for (const auto &args : p.helps) {
            const outcome help = run(args, "", p.binary);
            EXPECT_EQ(help.status, 0) << p.binary << " " << args[0];
            EXPECT_EQ(help.err, "") << p.binary << " " << args[0];
            if (args.size() > 1) {
                EXPECT_THAT(help.out, HasSubstr("usage: orvanectl " + args[0]));
            }
            int named = 0;
            for (std::sregex_iterator it(help.out.begin(), help.out.end(), option), end; it != end; ++it, ++named)
                EXPECT_THAT(man, HasSubstr("*" + (*it)[1].str() + "*")) << p.man << ", from " << args[0];
            EXPECT_GT(named, 0) << p.binary << " " << args[0];
        }
    }
    const outcome unknown = run({"frobnicate"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_THAT(unknown.err, HasSubstr("unknown command \"frobnicate\""));
}

TEST(Orvanectl, DumpPrintsACaptureFromFileOrStdinAsTheLibraryDoesOrAsJson)
{
    const std::string path = write_temp(ok_message);
    const outcome from_file = run({"dump", path});
    std::remove(path.c_str());
    EXPECT_EQ(from_file.status, 0);
    EXPECT_EQ(run({"dump"}, ok_message).out, from_file.out);
    char *text = nullptr;
    size_t length = 0;
    FILE *expected = open_memstream(&text, &length);
    tlv_dump(expected, ok_message.data(), ok_message.size(), [](uint32_t type) { return type == tlv_stringtype("OK") ? 1 : 0; });
    std::fclose(expected);
    EXPECT_EQ(from_file.out, std::string(text, length));
    std::free(text);

    std::string json = run({"--json", "dump", "-"}, ok_message).out;
    std::erase_if(json, [](char c) { return c == ' ' || c == '\n'; });
    EXPECT_EQ(json, "{\"type\":\"OK\",\"size\":55,\"fields\":[{\"type\":\"PUID\",\"text\":\"00:11:22:33:44:55\"},"
                    "{\"type\":\"ADDR\",\"text\":\"192.168.1.10\"}]}");

    // Broken captures say where they break off; empty input and bad arguments are refused.
    EXPECT_THAT(run({"dump", "--json"}, ok_message.substr(0, 40)).out, HasSubstr("claims 47 bytes"));
    EXPECT_THAT(run({"dump", "--json"}, std::string("INFO\0\0\0\x0aSTAT\0\0\0\x02\x01\x02", 18)).out,
                HasSubstr("\"hex\": \"0102\""));
    const std::pair<std::vector<std::string>, const char *> refused[] = {
        {{"dump"}, "standard input is empty"},
        {{"dump", "/nonexistent/capture"}, "/nonexistent/capture"},
        {{"dump", "--frob"}, "unknown option \"--frob\""},
        {{"dump", "a", "b"}, ""},
    };
    for (const auto &[args, message] : refused) {
        const outcome o = run(args);
        EXPECT_EQ(o.status, 2) << args.back();
        EXPECT_THAT(o.err, HasSubstr(message));
    }
}

TEST(Orvanectl, ConfigureRefusesAMissingOrUnreadablePasswordBeforeSendingAndNeverEchoesIt)
{
    const std::string path = write_temp(std::string("s3cret\0tail\n", 12));
    const std::pair<std::vector<std::string>, const char *> cases[] = {
        {{"--password-stdin"}, "no password in standard input"},
        {{"--password-file", path}, "is not a line of text"},
        {{"--password-stdin", "--password-file", "/dev/null"}, "exactly one of --password-file FILE and --password-stdin"},
        {{}, ""},
    };
    for (const auto &[extra, message] : cases) {
        std::vector<std::string> args = {"configure", "02:00:00:00:00:01", "--user", "admin", "--hostname", "h"};
        args.insert(args.end(), extra.begin(), extra.end());
        const outcome o = run(args, "\n");
        EXPECT_EQ(o.status, 2) << message;
        EXPECT_THAT(o.err, HasSubstr(message));
        EXPECT_THAT(o.err, Not(HasSubstr("s3cret")));
    }
    std::remove(path.c_str());
}

// Stands in for the daemon's RPC endpoint from a thread: ipconf_browse
// answers with the prepared entries (or a status) and records its call.
class browse_stub {
public:
    static inline std::atomic<uint32_t> signature{0};
    static inline std::atomic<int32_t> timeout{-1};
    static inline std::vector<std::pair<std::string, std::string>> entries;
    static inline uint32_t refuse_with = 0;

    explicit browse_stub(const std::string &path)
    {
        EXPECT_EQ(RPCServer_Init(), 0);
        EXPECT_NE(server_ = RPCServer_Open(("unix:" + path).c_str(), 0, 0), nullptr) << path;
        EXPECT_EQ(RPCServer_RegisterFunction(server_, "ipconf_browse", binding, nullptr), 0);
        thread_ = std::thread([this] {
            while (running_)
                (void)RPCServer_HandleRequest(server_, 10);
        });
    }
    ~browse_stub()
    {
        running_ = false;
        thread_.join();
        RPCServer_Close(server_);
        RPCServer_Cleanup();
    }

private:
    static void binding(RPCCall *call, RPCImplementation, RPCMsg *request, RPCMsg *reply)
    {
        signature = RPCMsg_GetSignature(request);
        timeout = RPCMsg_Get_Int32(call, request, "timeout@0");
        call->status = call->status != 0 ? call->status : refuse_with;
        if (call->status != 0)
            return;
        Dictionary *devices = Dictionary_CreateEx(0);
        for (const auto &[key, value] : entries)
            (void)Dictionary_Set(devices, key.c_str(), value.c_str());
        (void)RPCMsg_Set_Dictionary_ByRef(call, reply, "devices@1", devices);
    }
    RPCServer *server_ = nullptr;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

TEST(Orvanectl, BrowseCallsTheNewestDaemonSocketAndListsEveryEntryItGot)
{
    if (!orv_test::private_tmp())
        GTEST_SKIP() << "no private /tmp (mount namespaces unavailable)";
    const outcome none = run({"browse"});
    EXPECT_EQ(none.status, 2);
    EXPECT_THAT(none.err, HasSubstr("no daemon socket /tmp/orvane_rpc_N.sock found"));

    // Number 12 is the newest daemon; 30 is no socket, 4 an older daemon.
    std::ofstream("/tmp/orvane_rpc_30.sock") << "";
    browse_stub older("/tmp/orvane_rpc_4.sock"), newest("/tmp/orvane_rpc_12.sock");
    browse_stub::entries = {{"00000.hostname", "dev-2"},       {"00000.ip", "192.0.2.20,198.51.100.20"},
                            {"00000.product-id", "PX-2"},      {"00000.product-name", "Example Two"},
                            {"00001.hostname", ""},            {"00001.ip", ""},
                            {"00001.product-id", "PX-\x1b[31m"}, {"00001.product-name", ""},
                            {"junk", "left out"}};
    const outcome human = run({"browse", "-t", "3"});
    EXPECT_EQ(human.status, 0) << human.err;
    EXPECT_EQ(browse_stub::signature, 0xb4d27370u);
    EXPECT_EQ(browse_stub::timeout, 3);
    EXPECT_EQ(human.out, "HOST NAME  ADDRESSES                 PRODUCT ID  PRODUCT NAME\n"
                         "dev-2      192.0.2.20,198.51.100.20  PX-2        Example Two\n"
                         "-          -                         PX-?[31m    -\n");

    const outcome as_json = run({"--json", "browse", "--socket", "/tmp/orvane_rpc_4.sock"});
    EXPECT_EQ(as_json.status, 0) << as_json.err;
    EXPECT_EQ(browse_stub::timeout, 2);  // the default
    EXPECT_EQ(nlohmann::json::parse(as_json.out, nullptr, false),
              nlohmann::json::parse(R"([{"host_name": "dev-2", "addresses": ["192.0.2.20", "198.51.100.20"],
                                         "product_id": "PX-2", "product_name": "Example Two"},
                                        {"host_name": "", "addresses": [], "product_id": "PX-\u001b[31m",
                                         "product_name": ""}])"));

    browse_stub::entries.clear();
    const outcome empty = run({"browse", "--json"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(nlohmann::json::parse(empty.out, nullptr, false), nlohmann::json::array());
    EXPECT_THAT(empty.err, HasSubstr("found no device within 2 s"));

    browse_stub::refuse_with = 4;
    const outcome refused = run({"browse"});
    browse_stub::refuse_with = 0;
    EXPECT_EQ(refused.status, 2);
    EXPECT_THAT(refused.err, HasSubstr("refused the call with status 4"));
    EXPECT_EQ(refused.out, "");

    for (const char *bad : {"0", "1.5", "301", "-1", "x"}) {
        const outcome wrong = run({"browse", "-t", bad});
        EXPECT_EQ(wrong.status, 2) << bad;
        EXPECT_THAT(wrong.err, HasSubstr("-t wants a whole number of seconds")) << bad;
    }
    const outcome gone = run({"browse", "--socket", "/tmp/orvane_rpc_30.sock"});
    EXPECT_EQ(gone.status, 2);
    EXPECT_THAT(gone.err, HasSubstr("cannot connect to /tmp/orvane_rpc_30.sock"));
}

}  // namespace
