// tolm's log lines against what glibc's syslog(3) sends for the same
// priority and message: byte for byte, time stamp, tag and all, in a time
// zone that is neither UTC nor a whole number of hours away and that a
// chrooted run can only know from before its chroot.
#include "golden.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

class LogFormat : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override;
};

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

// A fixture tree with the zone file, and the options of tolm's runs and of
// the reference program's.
struct Scene {
    harness::Tree tree{site};
    Options options;
    Options reference;

    Scene() {
        // Outside the content root: a chrooted run reads it before the
        // chroot or never.
        tree.add({"zone", harness::read_file(zone_file)});
        tree.add({"bin/", ""});
        if (symlink(SYSLOG_REF, tree.at("bin/tolm").c_str()) != 0)
            harness::die("symlink: %s", strerror(errno));
        options.env = {"PATH=/usr/bin:/bin", "TZ=:" + tree.at("zone")};
        reference = options;
        reference.program = tree.at("bin/tolm");
    }

    std::vector<std::string> args(const Case &c) const {
        std::vector<std::string> a;
        for (const auto &arg : c.args)
            a.push_back(harness::with_root(arg, tree.dir()));
        return a;
    }
};

bool chroots(const std::vector<std::string> &args) {
    return std::find(args.begin(), args.end(), "-u") != args.end();
}

bool zone_known() {
    struct stat st {};
    return stat(zone_file.c_str(), &st) == 0;
}

void LogFormat::SetUp() {
    if (!harness::log_captured())
        GTEST_SKIP() << "needs root: the log is captured on a private /dev/log";
    ASSERT_TRUE(zone_known()) << zone_file << " missing (Debian: tzdata)";
}

TEST_P(LogFormat, SameAsGlibcSyslog) {
    const Case &c = GetParam();
    Scene scene;
    const std::vector<std::string> args = scene.args(c);
    // glibc's lines just before and just after tolm's: a second boundary may
    // fall between two runs, but not between both pairs.
    const std::vector<std::string> before = reference(c.log, scene.reference, chroots(args));
    const Result r = harness::run(args, c.input, scene.options);
    const std::vector<std::string> after = reference(c.log, scene.reference, chroots(args));
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

// Puts the harness's datagram /dev/log aside while it lives, leaving either
// nothing in its place or a stream socket, as some log daemons listen on.
class OtherLog {
  public:
    explicit OtherLog(bool stream) {
        // Only the private /dev's socket may be moved: the machine's is not ours.
        if (!harness::log_captured())
            harness::die("OtherLog outside the private /dev");
        if (rename("/dev/log", aside) != 0)
            harness::die("rename /dev/log: %s", strerror(errno));
        if (!stream)
            return;
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        struct sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        strcpy(addr.sun_path, "/dev/log");
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            listen(fd_, 16) != 0)
            harness::die("stream /dev/log: %s", strerror(errno));
        chmod("/dev/log", 0666);
    }
    OtherLog(const OtherLog &) = delete;
    OtherLog &operator=(const OtherLog &) = delete;
    ~OtherLog() {
        if (fd_ >= 0) {
            close(fd_);
            unlink("/dev/log");
        }
        rename(aside, "/dev/log");
    }

    // Everything sent since the last call, over all connections, in order.
    std::string received() const {
        std::string bytes;
        int conn;
        while ((conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
            bytes += harness::read_all(conn);
            close(conn);
        }
        return bytes;
    }

  private:
    static constexpr const char *aside = "/dev/log.datagram";
    int fd_ = -1;
};

// On a stream each line ends in a NUL byte, as glibc sends it there.
TEST_P(LogFormat, SameAsGlibcSyslogOnAStream) {
    const Case &c = GetParam();
    Scene scene;
    const std::vector<std::string> args = scene.args(c);
    const OtherLog log(true);
    reference(c.log, scene.reference, chroots(args));
    const std::string before = log.received();
    const Result r = harness::run(args, c.input, scene.options);
    const std::string got = log.received();
    reference(c.log, scene.reference, chroots(args));
    const std::string after = log.received();
    ASSERT_EQ(c.log.size(), static_cast<size_t>(std::count(before.begin(), before.end(), '\0')))
        << "glibc's lines before: " << harness::visible(before);
    if (got != after) {
        EXPECT_EQ(harness::visible(before), harness::visible(got));
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, LogFormat, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case> &row_info) {
                             return harness::test_name(row_info.param.name);
                         });

// Without a log socket a run answers, writes its detail to standard error
// and exits as it would with one.
struct Quiet {
    std::string name;
    std::string input;
    std::string out;
    std::string err;
    int exit_code;
};

std::ostream &operator<<(std::ostream &os, const Quiet &q) {
    return os << q.name;
}

class NoLogSocket : public ::testing::TestWithParam<Quiet> {};

TEST_P(NoLogSocket, RunsAsWithOne) {
    const Quiet &q = GetParam();
    if (!harness::log_captured())
        GTEST_SKIP() << "needs root: the log is captured on a private /dev/log";
    for (const bool chrooted : {false, true}) {
        SCOPED_TRACE(chrooted ? "with -u" : "without -u");
        harness::Tree tree(site);
        std::vector<std::string> args = {"-d", tree.at("root")};
        if (chrooted)
            args.insert(args.end(), {"-u", "nobody"});
        const OtherLog none(false);
        const Result r = harness::run(args, q.input);
        EXPECT_EQ(harness::visible(q.out), harness::visible(r.out));
        EXPECT_EQ(harness::visible(q.err), harness::visible(r.err));
        EXPECT_EQ(q.exit_code, r.exit_code);
        EXPECT_EQ(0, r.signal);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, NoLogSocket,
    ::testing::Values(Quiet{"answered", "gemini://h/a.txt\r\n", "20 text/plain\r\ntext\n", "", 0},
                      Quiet{"refused", "", "59 request is too short and probably empty\r\n",
                            "request is too short and probably empty", 1}),
    [](const ::testing::TestParamInfo<Quiet> &row_info) { return row_info.param.name; });

} // namespace
