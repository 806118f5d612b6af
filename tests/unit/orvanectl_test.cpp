// orvanectl as a person runs it, without any network: help texts and man
// pages, the dump of captured messages and refusals of malformed arguments.
// Every command line either asks for help, dumps, or is refused before the
// command opens its port; each runs in an empty network namespace anyway.
#include "support/printed.hpp"
#include "util/tlv_ez.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <tuple>
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
    return {std::istreambuf_iterator<char>(in), {}};
}

// Runs the program with the arguments and the given standard input, in a
// network namespace of its own: should a refusal ever slip, nothing reaches
// the host's links.
outcome run(const std::vector<std::string> &args, const std::string &input = "", const std::string &binary = program)
{
    char folder[] = "/tmp/orvanectl_test.XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return {-1, "", ""};
    const std::string dir = folder;
    std::ofstream(dir + "/in", std::ios::binary) << input;
    std::string command =
        std::string(geteuid() == 0 ? "unshare --net " : "unshare --net --map-root-user ") + "'" + binary + "'";
    for (const auto &arg : args)
        command += " '" + arg + "'";
    const int raw = std::system((command + " <" + dir + "/in >" + dir + "/out 2>" + dir + "/err").c_str());
    outcome result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(dir + "/out"), slurp(dir + "/err")};
    std::filesystem::remove_all(dir);
    return result;
}

// The OK that device 00:11:22:33:44:55 sends to 192.168.1.10: 55 bytes (sizes
// 0x2f, 0x12 and 0x0d).
const std::string ok_message("OK\0\0\0\0\0/PUID\0\0\0\02200:11:22:33:44:55\0ADDR\0\0\0\r192.168.1.10", 55);

TEST(Orvanectl, EveryHelpTextWorksAndItsOptionsAreInTheManPage)
{
    using help = std::tuple<std::string, std::string, std::vector<std::string>>; // program, man page, arguments
    std::vector<help> helps = {{program, "orvanectl.1.scd", {"--help"}},
                               {ORV_BUILD_DIR "/daemon/orvaned", "orvaned.8.scd", {"-h"}},
                               {ORV_BUILD_DIR "/services/cendrixd/cendrixd", "cendrixd.8.scd", {"--help"}},
                               {ORV_BUILD_DIR "/services/notifierd/notifierd", "notifierd.8.scd", {"--help"}}};
    const std::string top = run({"--help"}).out;
    const std::regex command_line(R"(\n  ([a-z]+) )");
    for (std::sregex_iterator it(top.begin(), top.end(), command_line), end; it != end; ++it)
        helps.push_back({program, "orvanectl.1.scd", {(*it)[1], "--help"}});
    ASSERT_GE(helps.size(), 8u);
    // The options a help text names: "-x" or "--long-name" after a space, '[', '(' or '|'.
    const std::regex option(R"((?:^|[\s\[(|])(--?[a-z][a-z0-9-]*))");
    for (const auto &[binary, page, args] : helps) {
        const outcome o = run(args, "", binary);
        EXPECT_EQ(o.status, 0) << binary << " " << args[0];
        EXPECT_EQ(o.err, "") << binary << " " << args[0];
        EXPECT_THAT(o.out, HasSubstr(args.size() > 1 ? "usage: orvanectl " + args[0] : ""));
        const std::string man = slurp(ORV_SOURCE_DIR "/dist/man/" + page);
        int named = 0;
        for (std::sregex_iterator it(o.out.begin(), o.out.end(), option), end; it != end; ++it, ++named)
            EXPECT_THAT(man, HasSubstr("*" + (*it)[1].str() + "*")) << page << ", from " << args[0];
        EXPECT_GT(named, 0) << binary << " " << args[0];
    }
}

TEST(Orvanectl, DumpPrintsACaptureFromFileOrStdinAsTheLibraryDoesOrAsJson)
{
    const outcome from_file = run({"dump", "/dev/stdin"}, ok_message);
    EXPECT_EQ(from_file.status, 0);
    const auto ok_container = [](uint32_t type) { return type == tlv_stringtype("OK") ? 1 : 0; };
    EXPECT_EQ(from_file.out,
              printed([&](FILE *f) { tlv_dump(f, ok_message.data(), ok_message.size(), ok_container); }));

    std::string json = run({"--json", "dump", "-"}, ok_message).out;
    std::erase_if(json, [](char c) { return c == ' ' || c == '\n'; });
    EXPECT_EQ(json, "{\"schema\":1,\"command\":\"dump\",\"message\":{\"type\":\"OK\",\"size\":55,\"fields\":[{\"type\":"
                    "\"PUID\",\"label\":\"PUID\",\"text\":\"00:11:22:33:44:55\"},{\"type\":\"ADDR\",\"label\":"
                    "\"for\",\"text\":\"192.168.1.10\"}]}}");
    // A broken capture (standard input again, without "-") says where it
    // breaks off, in either form, and is no success.
    for (const std::vector<std::string> &args : {std::vector<std::string>{"dump", "--json"}, {"dump"}}) {
        const outcome broken = run(args, ok_message.substr(0, 40));
        EXPECT_EQ(broken.status, 2) << args.size();
        EXPECT_THAT(broken.err, HasSubstr("claims 47 bytes"));
    }
}

// Refused before anything is sent: status 2, the cause named, no password echoed.
TEST(Orvanectl, RefusalsExitTwoNameTheCauseAndNeverEchoAPassword)
{
    const auto configure = [](std::vector<std::string> extra) {
        extra.insert(extra.begin(), {"configure", "02:00:00:00:00:01", "--user", "admin", "--hostname", "h"});
        return extra;
    };
    const std::tuple<std::vector<std::string>, std::string, std::string> cases[] = {
        {{"frobnicate"}, "", "unknown command \"frobnicate\""},
        {{"dump", "/nonexistent/capture"}, "", "/nonexistent/capture"},
        {{"dump", "one", "two"}, "", "takes one at most: FILE, not 2 arguments"},
        {configure({"--password-stdin"}), "\n", "no password in standard input"},
        {configure({"--password-file", "/dev/stdin"}), std::string("s3cret\0tail\n", 12), "is not a line of text"},
        {configure({"--password-stdin", "--password-file", "/dev/null"}), "s3cret\n",
         "exactly one of --password-file FILE and --password-stdin"},
        {configure({}), "", "exactly one of --password-file FILE and --password-stdin"},
    };
    for (const auto &[args, input, message] : cases) {
        const outcome o = run(args, input);
        EXPECT_EQ(o.status, 2) << message;
        EXPECT_THAT(o.err, HasSubstr(message));
        EXPECT_THAT(o.err, Not(HasSubstr("s3cret")));
    }
}

} // namespace
