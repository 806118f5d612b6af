// orvanectl as a person runs it, without any network: help texts, the dump
// of captured messages, refusals of malformed arguments, and browse against
// an RPC server on a unix socket in a private /tmp. Nothing here may reach a
// network socket: every other command line either asks for help, dumps a
// file, or is refused before the command opens its port.

#include "lib/dorvik/rpc_server.hpp"
#include "tests/unit/support/private_tmp.hpp"
#include "util/tlv_ez.hpp"

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string program = ORV_BUILD_DIR "/tools/orvanectl/orvanectl";

struct outcome {
    int status = -1;
    std::string out, err;
};

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs orvanectl with the arguments and the given standard input.
outcome run_program(const std::string &program, const std::vector<std::string> &args,
                    const std::string &input = "")
{
    char dir_template[] = "/tmp/orvanectl_test.XXXXXX";
    std::string dir = mkdtemp(dir_template);
    std::string in_path = dir + "/in", out_path = dir + "/out", err_path = dir + "/err";
    std::ofstream(in_path, std::ios::binary) << input;
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(in_path.c_str(), O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> argv{const_cast<char *>(program.c_str())};
        for (const auto &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    outcome result{WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), slurp(out_path), slurp(err_path)};
    std::remove(in_path.c_str());
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    rmdir(dir.c_str());
    return result;
}

outcome run(const std::vector<std::string> &args, const std::string &input = "")
{
    return run_program(program, args, input);
}

// The options a help text names: "-x" or "--long-name" after a space, '[',
// '(' or '|'.
std::set<std::string> options_in(const std::string &help)
{
    std::set<std::string> found;
    static const std::regex option(R"((?:^|[\s\[(|])(--?[a-z][a-z0-9-]*))");
    for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it)
        found.insert((*it)[1]);
    return found;
}

std::string write_temp(const std::string &bytes)
{
    char path[] = "/tmp/orvanectl_capture.XXXXXX";
    int fd = mkstemp(path);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    return path;
}

// The OK that device 00:11:22:33:44:55 sends to 192.168.1.10: 55 bytes.
const std::string ok_message = std::string("OK\0\0\0\0\0\x2f", 8) + std::string("PUID\0\0\0\x12", 8) +
                               std::string("00:11:22:33:44:55\0", 18) + std::string("ADDR\0\0\0\x0d", 8) +
                               std::string("192.168.1.10\0", 13);

TEST(Orvanectl, HelpNamesEveryCommandAndEachCommandHasItsOwn)
{
    outcome top = run({"--help"});
    EXPECT_EQ(top.status, 0);
    EXPECT_THAT(top.out, HasSubstr("dump"));
    for (const char *command : {"browse", "configure", "discover", "dump", "watch"}) {
        outcome help = run({command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_THAT(help.out, HasSubstr(std::string("usage: orvanectl ") + command)) << command;
        EXPECT_THAT(help.out, HasSubstr("--json")) << command;
        EXPECT_EQ(help.err, "") << command;
    }
    outcome unknown = run({"frobnicate"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_THAT(unknown.err, HasSubstr("unknown command \"frobnicate\""));
    outcome none = run({});
    EXPECT_EQ(none.status, 2);
}

TEST(Orvanectl, DumpPrintsACapturedMessageFromFileOrStdinAndDecodesItAsJson)
{
    std::string path = write_temp(ok_message);
    outcome from_file = run({"dump", path});
    outcome from_stdin = run({"dump"}, ok_message);
    std::remove(path.c_str());
    EXPECT_EQ(from_file.status, 0);
    EXPECT_EQ(from_file.out, from_stdin.out);
    // The TLV dump of the library, byte for byte.
    char *text = nullptr;
    size_t length = 0;
    FILE *expected = open_memstream(&text, &length);
    tlv_dump(expected, ok_message.data(), ok_message.size(), [](uint32_t type) {
        return type == tlv_stringtype("OK") ? 1 : 0;
    });
    std::fclose(expected);
    EXPECT_EQ(from_file.out, std::string(text, length));
    std::free(text);

    outcome decoded = run({"--json", "dump", "-"}, ok_message);
    EXPECT_EQ(decoded.status, 0);
    auto compact = [](std::string s) {
        std::string out;
        for (char c : s)
            if (c != ' ' && c != '\n')
                out += c;
        return out;
    };
    EXPECT_EQ(compact(decoded.out), "{\"type\":\"OK\",\"size\":55,\"fields\":[{\"type\":\"PUID\",\"text\":\"00:11:22:33:"
                                    "44:55\"},{\"type\":\"ADDR\",\"text\":\"192.168.1.10\"}]}");
}

TEST(Orvanectl, DumpOfABrokenCaptureSaysWhereItBreaksOff)
{
    // Truncated inside ADDR, a byte field of the wrong size, an empty OK.
    outcome cut = run({"dump", "--json"}, ok_message.substr(0, 40));
    EXPECT_EQ(cut.status, 0);
    EXPECT_THAT(cut.out, HasSubstr("\"error\""));
    EXPECT_THAT(cut.out, HasSubstr("claims 47 bytes"));

    std::string info = std::string("INFO\0\0\0\x0a", 8) + std::string("STAT\0\0\0\x02\x01\x02", 10);
    outcome odd = run({"dump", "--json"}, info);
    EXPECT_THAT(odd.out, HasSubstr("\"hex\": \"0102\""));

    outcome empty_ok = run({"dump", "--json"}, std::string("OK\0\0\0\0\0\0", 8));
    EXPECT_THAT(empty_ok.out, Not(HasSubstr("error")));

    outcome nothing = run({"dump"}, "");
    EXPECT_EQ(nothing.status, 2);
    EXPECT_THAT(nothing.err, HasSubstr("standard input is empty"));
    outcome missing = run({"dump", "/nonexistent/capture"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_THAT(missing.err, HasSubstr("/nonexistent/capture"));
    outcome two = run({"dump", "a", "b"});
    EXPECT_EQ(two.status, 2);
    outcome bad_option = run({"dump", "--frob"});
    EXPECT_EQ(bad_option.status, 2);
    EXPECT_THAT(bad_option.err, HasSubstr("unknown option \"--frob\""));
}

TEST(Orvanectl, ConfigureRefusesAMissingOrUnreadablePasswordBeforeSendingAndNeverEchoesIt)
{
    const std::vector<std::string> base = {"configure", "02:00:00:00:00:01", "--user", "admin", "--hostname", "h"};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = base;
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    outcome empty = run(with({"--password-stdin"}), "\n");
    EXPECT_EQ(empty.status, 2);
    EXPECT_THAT(empty.err, HasSubstr("no password in standard input"));
    std::string secret_with_nul = std::string("s3cret\0tail\n", 12);
    std::string path = write_temp(secret_with_nul);
    outcome nul = run(with({"--password-file", path}));
    std::remove(path.c_str());
    EXPECT_EQ(nul.status, 2);
    EXPECT_THAT(nul.err, HasSubstr("is not a line of text"));
    EXPECT_THAT(nul.err, Not(HasSubstr("s3cret")));
    outcome both = run(with({"--password-stdin", "--password-file", "/dev/null"}), "s3cret\n");
    EXPECT_EQ(both.status, 2);
    EXPECT_THAT(both.err, HasSubstr("exactly one of --password-file FILE and --password-stdin"));
    outcome neither = run(with({}));
    EXPECT_EQ(neither.status, 2);
}

TEST(Orvanectl, ManPagesNameEveryOptionThatTheHelpTextsName)
{
    struct page {
        std::string program, man;
        std::vector<std::vector<std::string>> helps;
        bool required = true;
    };
    std::vector<page> pages = {
        {program, "orvanectl.1.scd", {{"--help"}}},
        {ORV_BUILD_DIR "/daemon/orvaned", "orvaned.8.scd", {{"-h"}}},
        {ORV_BUILD_DIR "/services/cendrixd/cendrixd", "cendrixd.8.scd", {{"--help"}}, false},
    };
    outcome top = run({"--help"});
    const std::regex command_line(R"(\n  ([a-z]+) )");
    for (std::sregex_iterator it(top.out.begin(), top.out.end(), command_line), end; it != end; ++it)
        pages[0].helps.push_back({(*it)[1], "--help"});
    ASSERT_GE(pages[0].helps.size(), 2u);
    for (const auto &p : pages) {
        if (access(p.program.c_str(), X_OK) != 0) {
            EXPECT_FALSE(p.required) << p.program << " is not built";
            continue;
        }
        std::string man = slurp(ORV_SOURCE_DIR "/dist/man/" + p.man);
        ASSERT_FALSE(man.empty()) << p.man;
        for (const auto &args : p.helps) {
            outcome help = run_program(p.program, args);
            EXPECT_EQ(help.status, 0) << p.program << " " << args[0];
            std::set<std::string> named = options_in(help.out);
            EXPECT_FALSE(named.empty()) << p.program << " " << args[0];
            for (const auto &option : named)
                EXPECT_NE(man.find("*" + option + "*"), std::string::npos)
                    << p.man << " does not describe " << option << " (from " << p.program << " " << args[0] << ")";
        }
    }
}

// A stand-in for the daemon's RPC endpoint: ipconf_browse answers with a
// prepared dictionary (or a status) and records what it was called with.
struct browse_stub {
    static inline std::atomic<uint32_t> signature{0};
    static inline std::atomic<int32_t> timeout{-1};
    static inline std::vector<std::pair<std::string, std::string>> entries;
    static inline uint32_t refuse_with = 0;

    static void binding(RPCCall *call, RPCImplementation, RPCMsg *request, RPCMsg *reply)
    {
        signature = RPCMsg_GetSignature(request);
        timeout = RPCMsg_Get_Int32(call, request, "timeout@0");
        if (refuse_with != 0)
            call->status = refuse_with;
        if (call->status != 0)
            return;
        Dictionary *devices = Dictionary_CreateEx(0);
        for (const auto &[key, value] : entries)
            (void)Dictionary_Set(devices, key.c_str(), value.c_str());
        (void)RPCMsg_Set_Dictionary_ByRef(call, reply, "devices@1", devices);
    }
};

// Serves the socket from a thread while it lives.
class stub_server {
public:
    explicit stub_server(const std::string &path)
    {
        EXPECT_EQ(RPCServer_Init(), 0);
        server_ = RPCServer_Open(("unix:" + path).c_str(), 0, 0);
        EXPECT_NE(server_, nullptr) << path;
        if (server_ == nullptr)
            return;
        EXPECT_EQ(RPCServer_RegisterFunction(server_, "ipconf_browse", browse_stub::binding, nullptr), 0);
        thread_ = std::thread([this] {
            while (running_)
                (void)RPCServer_HandleRequest(server_, 10);
        });
    }
    ~stub_server()
    {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
        RPCServer_Close(server_);
        RPCServer_Cleanup();
    }
    stub_server(const stub_server &) = delete;
    stub_server &operator=(const stub_server &) = delete;

private:
    RPCServer *server_ = nullptr;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

TEST(Orvanectl, BrowseCallsTheNewestDaemonSocketAndListsEveryEntryItGot)
{
    if (!orv_test::private_tmp())
        GTEST_SKIP() << "no private /tmp (mount namespaces unavailable)";
    outcome none = run({"browse"});
    EXPECT_EQ(none.status, 2);
    EXPECT_THAT(none.err, HasSubstr("no daemon socket /tmp/orvane_rpc_N.sock found"));

    // Number 12 is the newest daemon; 30 is no socket, 4 an older daemon.
    std::ofstream("/tmp/orvane_rpc_30.sock") << "";
    stub_server older("/tmp/orvane_rpc_4.sock");
    stub_server newest("/tmp/orvane_rpc_12.sock");
    browse_stub::entries = {{"00000.hostname", "dev-2"},
                            {"00000.ip", "192.0.2.20,198.51.100.20"},
                            {"00000.product-id", "PX-2"},
                            {"00000.product-name", "Example Two"},
                            {"00001.hostname", ""},
                            {"00001.ip", ""},
                            {"00001.product-id", "PX-\x1b[31m"},
                            {"00001.product-name", ""},
                            {"junk", "left out"}};
    outcome human = run({"browse", "-t", "3"});
    EXPECT_EQ(human.status, 0) << human.err;
    EXPECT_EQ(browse_stub::signature, 0xb4d27370u);
    EXPECT_EQ(browse_stub::timeout, 3);
    EXPECT_EQ(human.out, "HOST NAME  ADDRESSES                 PRODUCT ID  PRODUCT NAME\n"
                         "dev-2      192.0.2.20,198.51.100.20  PX-2        Example Two\n"
                         "-          -                         PX-?[31m    -\n");

    outcome as_json = run({"--json", "browse", "--socket", "/tmp/orvane_rpc_4.sock"});
    EXPECT_EQ(as_json.status, 0) << as_json.err;
    EXPECT_EQ(browse_stub::timeout, 2);  // the default
    EXPECT_EQ(nlohmann::json::parse(as_json.out, nullptr, false),
              nlohmann::json::parse(R"([{"host_name": "dev-2", "addresses": ["192.0.2.20", "198.51.100.20"],
                                         "product_id": "PX-2", "product_name": "Example Two"},
                                        {"host_name": "", "addresses": [], "product_id": "PX-\u001b[31m",
                                         "product_name": ""}])"));

    browse_stub::entries.clear();
    outcome empty = run({"browse", "--json"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(nlohmann::json::parse(empty.out, nullptr, false), nlohmann::json::array());
    EXPECT_THAT(empty.err, HasSubstr("found no device within 2 s"));

    browse_stub::refuse_with = 4;
    outcome refused = run({"browse"});
    browse_stub::refuse_with = 0;
    EXPECT_EQ(refused.status, 2);
    EXPECT_THAT(refused.err, HasSubstr("refused the call with status 4"));
    EXPECT_EQ(refused.out, "");

    for (const char *bad : {"0", "1.5", "301", "-1", "x"}) {
        outcome wrong = run({"browse", "-t", bad});
        EXPECT_EQ(wrong.status, 2) << bad;
        EXPECT_THAT(wrong.err, HasSubstr("-t wants a whole number of seconds")) << bad;
    }
    outcome gone = run({"browse", "--socket", "/tmp/orvane_rpc_30.sock"});
    EXPECT_EQ(gone.status, 2);
    EXPECT_THAT(gone.err, HasSubstr("cannot connect to /tmp/orvane_rpc_30.sock"));
}

} // namespace
