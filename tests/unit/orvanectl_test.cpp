// orvanectl as a person runs it, without any network: the dump of captured
// messages, password refusals that never show the password, and help texts
// that the man pages keep up with. Nothing here may reach a socket: every
// command line asks for help, dumps a file, or is refused before the command
// opens its port.

#include "util/tlv_ez.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
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

TEST(Orvanectl, DumpPrintsACaptureFromFileOrStdinAsTheLibraryDoesAndDecodesItAsJson)
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

    // A capture cut inside ADDR: decoded up to where it breaks off, and said so.
    outcome cut = run({"dump", "--json"}, ok_message.substr(0, 40));
    EXPECT_EQ(cut.status, 0);
    EXPECT_THAT(cut.out, HasSubstr("claims 47 bytes"));
    outcome nothing = run({"dump"}, "");
    EXPECT_EQ(nothing.status, 2);
    EXPECT_THAT(nothing.err, HasSubstr("standard input is empty"));
}

TEST(Orvanectl, ConfigureRefusesAnUnusablePasswordBeforeSendingAndNeverEchoesIt)
{
    auto with = [](std::vector<std::string> extra) {
        std::vector<std::string> args = {"configure", "02:00:00:00:00:01", "--user", "admin", "--hostname", "h"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    std::string path = write_temp(std::string("s3cret\0tail\n", 12));
    outcome nul = run(with({"--password-file", path}));
    std::remove(path.c_str());
    EXPECT_THAT(nul.err, HasSubstr("is not a line of text"));
    outcome both = run(with({"--password-stdin", "--password-file", "/dev/null"}), "s3cret\n");
    EXPECT_THAT(both.err, HasSubstr("exactly one of --password-file FILE and --password-stdin"));
    outcome empty = run(with({"--password-stdin"}), "\n");
    EXPECT_THAT(empty.err, HasSubstr("no password in standard input"));
    for (const outcome &refused : {nul, both, empty}) {
        EXPECT_EQ(refused.status, 2) << refused.err;
        EXPECT_THAT(refused.out + refused.err, Not(HasSubstr("s3cret")));
    }
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

} // namespace
