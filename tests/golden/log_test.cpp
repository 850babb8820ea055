// tolm's log lines against what glibc's syslog(3) sends for the same
// priority and message: byte for byte, time stamp, tag and all, in a time
// zone that is neither UTC nor a whole number of hours away and that a
// chrooted run can only know from before its chroot.
#include "golden.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using harness::Node;
using harness::Options;
using harness::Result;

struct Message {
    int priority;
    std::string text;
};

struct Case {
    std::string name;
    std::vector<std::string> args; // "{root}" stands for the fixture's directory
    std::string input;
    std::vector<Message> log;
};

std::ostream &operator<<(std::ostream &os, const Case &c) {
    return os << c.name;
}

const std::string zone_file = "/usr/share/zoneinfo/Asia/Kathmandu";

const std::vector<Node> site = {
    {"root/a.txt", "text\n"},
};

std::string quoted(const std::string &request, const std::string &code, size_t bytes) {
    return "\"" + request + "\" " + code + " " + std::to_string(bytes);
}

std::vector<Case> cases() {
    const std::string r = "{root}/root";
    const std::string served = "20 text/plain\r\ntext\n";
    const std::string missing = "51 file not found\r\n";
    // A request line of the longest length read, and a refusal that names
    // the longest: musl's syslog would cut both at 1024 bytes.
    const std::string longest = "gemini://h/" + std::string(1012, 'a');
    const std::string too_long = "request is too long (1024 max): " + std::string(1024, 'x');
    return {
        {"request line",
         {"-d", r},
         "gemini://h/a.txt\r\n",
         {{30, quoted("gemini://h/a.txt", "20", served.size())}}},
        {"longest request line",
         {"-d", r},
         longest + "\n",
         {{30, quoted(longest, "51", missing.size())}}},
        {"longest detail",
         {"-d", r},
         std::string(2000, 'x'),
         {{30, quoted("", "59", too_long.size() + 5)}, {11, too_long}}},
        {"detail before the account is known",
         {"-d", r, "-u", "no-such-account"},
         "gemini://h/\r\n",
         {{30, quoted("gemini://h/", "41", 31)},
          {11, "the user no-such-account can't be found on the system"}}},
        {"after chroot",
         {"-d", r, "-u", "nobody"},
         "gemini://h/a.txt\r\n",
         {{30, quoted("gemini://h/a.txt", "20", served.size())}}},
        {"longest request line after chroot",
         {"-d", r, "-u", "nobody"},
         longest + "\n",
         {{30, quoted(longest, "51", missing.size())}}},
    };
}

class LogFormat : public ::testing::TestWithParam<Case> {};

// glibc's line for each message, sent by the reference program under the
// name "tolm", connected first as tolm is when it chroots.
std::vector<std::string> reference(const std::vector<Message> &log, const Options &options,
                                   bool opens) {
    std::vector<std::string> lines;
    for (const Message &m : log) {
        std::vector<std::string> args = {std::to_string(m.priority), m.text};
        if (opens)
            args.push_back("open");
        const Result r = harness::run(args, "", options);
        EXPECT_EQ(0, r.exit_code) << "reference program";
        for (const auto &line : r.log)
            lines.push_back(line.raw);
    }
    return lines;
}

TEST_P(LogFormat, SameAsGlibcSyslog) {
    const Case &c = GetParam();
    if (!harness::log_captured())
        GTEST_SKIP() << "needs root: the log is captured on a private /dev/log";
    struct stat st {};
    ASSERT_EQ(0, stat(zone_file.c_str(), &st)) << zone_file << " missing (Debian: tzdata)";
    harness::Tree tree(site);
    // Outside the content root: a chrooted run reads it before the chroot
    // or never.
    tree.add({"zone", harness::read_file(zone_file)});
    tree.add({"bin/", ""});
    if (symlink(SYSLOG_REF, tree.at("bin/tolm").c_str()) != 0)
        FAIL() << "symlink: " << strerror(errno);
    Options options;
    options.env = {"PATH=/usr/bin:/bin", "TZ=:" + tree.at("zone")};
    Options ref_options = options;
    ref_options.program = tree.at("bin/tolm");

    std::vector<std::string> args;
    for (const auto &a : c.args)
        args.push_back(harness::with_root(a, tree.dir()));
    const bool opens = std::find(args.begin(), args.end(), "-u") != args.end();
    // glibc's lines just before and just after tolm's: a second boundary may
    // fall between two runs, but not between both pairs.
    const std::vector<std::string> before = reference(c.log, ref_options, opens);
    const Result r = harness::run(args, c.input, options);
    const std::vector<std::string> after = reference(c.log, ref_options, opens);
    ASSERT_EQ(c.log.size(), before.size()) << "glibc's lines before";
    ASSERT_EQ(c.log.size(), after.size()) << "glibc's lines after";
    ASSERT_EQ(c.log.size(), r.log.size()) << "tolm's lines";
    for (size_t i = 0; i < c.log.size(); ++i) {
        const std::string &got = r.log[i].raw;
        if (got != after[i]) {
            EXPECT_EQ(harness::visible(before[i]), harness::visible(got)) << "line " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, LogFormat, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case> &row_info) {
                             return harness::test_name(row_info.param.name);
                         });

} // namespace
