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

#include <fstream>
#include <iterator>
#include <regex>
#include <string>
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

std::string write_temp(const std::string &bytes)
{
    char path[] = "/tmp/orvanectl_test.XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    return path;
}

// Runs the program with the arguments and the given standard input, in a
// network namespace of its own: should a refusal ever slip, nothing reaches
// the host's links.
outcome run(const std::vector<std::string> &args, const std::string &input = "", const std::string &binary = program)
{
    const std::string in = write_temp(input), out = write_temp(""), err = write_temp("");
    std::string command =
        std::string(geteuid() == 0 ? "unshare --net " : "unshare --net --map-root-user ") + "'" + binary + "'";
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
                EXPECT_THAT(man, HasSubstr(std::string("*").append((*it)[1].str()).append("*")))
                    << p.man << ", from " << args[0];
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
    const auto ok_container = [](uint32_t type) { return type == tlv_stringtype("OK") ? 1 : 0; };
    EXPECT_EQ(from_file.out,
              printed([&](FILE *f) { tlv_dump(f, ok_message.data(), ok_message.size(), ok_container); }));

    std::string json = run({"--json", "dump", "-"}, ok_message).out;
    std::erase_if(json, [](char c) { return c == ' ' || c == '\n'; });
    EXPECT_EQ(json, "{\"schema\":1,\"command\":\"dump\",\"message\":{\"type\":\"OK\",\"size\":55,\"fields\":[{\"type\":"
                    "\"PUID\",\"text\":\"00:11:22:33:44:55\"},{\"type\":\"ADDR\",\"text\":\"192.168.1.10\"}]}}");

    // A broken capture says where it breaks off; a missing file is refused.
    EXPECT_THAT(run({"dump", "--json"}, ok_message.substr(0, 40)).out, HasSubstr("claims 47 bytes"));
    const outcome missing = run({"dump", "/nonexistent/capture"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_THAT(missing.err, HasSubstr("/nonexistent/capture"));
}

TEST(Orvanectl, ConfigureRefusesAMissingOrUnreadablePasswordBeforeSendingAndNeverEchoesIt)
{
    const std::string path = write_temp(std::string("s3cret\0tail\n", 12));
    const std::pair<std::vector<std::string>, const char *> cases[] = {
        {{"--password-stdin"}, "no password in standard input"},
        {{"--password-file", path}, "is not a line of text"},
        {{"--password-stdin", "--password-file", "/dev/null"},
         "exactly one of --password-file FILE and --password-stdin"},
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

} // namespace
