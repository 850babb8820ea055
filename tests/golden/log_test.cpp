// tolm's log lines against what glibc's syslog(3) sends for the same
// priority and message: byte for byte, tag and all, but for glibc's time
// stamp, which tolm leaves to the log daemon; and runs whose log daemon is
// missing or stuck.
#include "golden.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
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
        // A line feed would end the line early on a stream log, and start
        // one that looks like tolm's own.
        {"control bytes",
         {"-d", r, "-u", "a\n<11>forged"},
         "gemini://h/\x1b[1m\x7f\r\n",
         {{30, quoted("gemini://h/%1B[1m%7F", "41", 31)},
          {11, "the user a%0A<11>forged can't be found on the system"}}},
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

// glibc's lines without their time stamps "Mmm dd hh:mm:ss ", which follow
// the priority: each line of a stream ends in a NUL byte.
std::string unstamped(const std::string &lines) {
    std::string out;
    size_t at = 0;
    while (at < lines.size()) {
        const size_t close = lines.find('>', at);
        const size_t end = std::min(lines.find('\0', at), lines.size() - 1);
        EXPECT_TRUE(close != std::string::npos && close + 16 < end &&
                    lines.compare(close + 16, 1, " ") == 0)
            << "not stamped: " << harness::visible(lines);
        if (close == std::string::npos || close + 16 >= end)
            return lines;
        out += lines.substr(at, close + 1 - at) + lines.substr(close + 17, end + 1 - (close + 17));
        at = end + 1;
    }
    return out;
}

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
            lines.push_back(unstamped(line.raw));
    }
    return lines;
}

// A fixture tree, and the options of tolm's runs and of the reference
// program's.
struct Scene {
    harness::Tree tree{site};
    Options options;
    Options reference;

    Scene() {
        tree.add({"bin/", ""});
        if (symlink(SYSLOG_REF, tree.at("bin/tolm").c_str()) != 0)
            harness::die("symlink: %s", strerror(errno));
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

void LogFormat::SetUp() {
    if (!harness::log_captured())
        GTEST_SKIP() << harness::uncaptured_why() << ": the log is captured on a private /dev/log";
}

TEST_P(LogFormat, SameAsGlibcSyslog) {
    const Case &c = GetParam();
    Scene scene;
    const std::vector<std::string> args = scene.args(c);
    const std::vector<std::string> glibc = reference(c.log, scene.reference, chroots(args));
    const Result r = harness::run(args, c.input, scene.options);
    ASSERT_EQ(c.log.size(), glibc.size()) << "glibc's lines";
    ASSERT_EQ(c.log.size(), r.log.size()) << "tolm's lines";
    for (size_t i = 0; i < c.log.size(); ++i)
        EXPECT_EQ(harness::visible(glibc[i]), harness::visible(r.log[i].raw)) << "line " << i;
}

// Puts the harness's datagram /dev/log aside while it lives, leaving in its
// place nothing, a stream socket, as some log daemons listen on, or a log
// daemon that is stuck: a datagram socket whose queue is full, or a stream
// socket whose queue of connections waiting to be accepted is.
class OtherLog {
  public:
    enum Kind { none, stream, full_datagram, full_stream };

    explicit OtherLog(Kind kind) {
        // Only the private /dev's socket may be moved: the machine's is not ours.
        if (!harness::log_captured())
            harness::die("OtherLog outside the private /dev");
        if (rename("/dev/log", aside) != 0)
            harness::die("rename /dev/log: %s", strerror(errno));
        if (kind == none)
            return;
        const int type = kind == full_datagram ? SOCK_DGRAM : SOCK_STREAM;
        fd_ = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0 || bind(fd_, address(), sizeof addr_) != 0 ||
            (type == SOCK_STREAM && listen(fd_, kind == full_stream ? 0 : 16) != 0))
            harness::die("/dev/log: %s", strerror(errno));
        chmod("/dev/log", 0666);
        if (kind == full_datagram)
            fill(SOCK_DGRAM);
        else if (kind == full_stream)
            fill(SOCK_STREAM);
    }
    OtherLog(const OtherLog &) = delete;
    OtherLog &operator=(const OtherLog &) = delete;
    ~OtherLog() {
        for (const int fd : fillers_)
            close(fd);
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

    // Datagrams waiting, and what the last one says.
    size_t queued(std::string *last) const {
        char buf[65536];
        size_t count = 0;
        ssize_t n;
        while ((n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) >= 0) {
            last->assign(buf, static_cast<size_t>(n));
            ++count;
        }
        return count;
    }

  private:
    const sockaddr *address() {
        addr_.sun_family = AF_UNIX;
        strcpy(addr_.sun_path, "/dev/log");
        return reinterpret_cast<const sockaddr *>(&addr_);
    }

    // Datagrams, or connections, until the socket takes no more.
    void fill(int type) {
        for (int i = 0; i < 100000; ++i) {
            const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0)
                harness::die("socket: %s", strerror(errno));
            fillers_.push_back(fd);
            if (connect(fd, address(), sizeof addr_) != 0) {
                if (errno == EAGAIN)
                    return;
                harness::die("connect /dev/log: %s", strerror(errno));
            }
            if (type != SOCK_DGRAM)
                continue;
            while (send(fd, "filler", 6, MSG_DONTWAIT) == 6) {
            }
            if (errno == EAGAIN)
                return;
            harness::die("send /dev/log: %s", strerror(errno));
        }
        harness::die("/dev/log never filled");
    }

    static constexpr const char *aside = "/dev/log.datagram";
    int fd_ = -1;
    sockaddr_un addr_{};
    std::vector<int> fillers_;
};

// On a stream each line ends in a NUL byte, as glibc sends it there.
TEST_P(LogFormat, SameAsGlibcSyslogOnAStream) {
    const Case &c = GetParam();
    Scene scene;
    const std::vector<std::string> args = scene.args(c);
    const OtherLog log(OtherLog::stream);
    reference(c.log, scene.reference, chroots(args));
    const std::string glibc = unstamped(log.received());
    const Result r = harness::run(args, c.input, scene.options);
    ASSERT_EQ(c.log.size(), static_cast<size_t>(std::count(glibc.begin(), glibc.end(), '\0')))
        << "glibc's lines: " << harness::visible(glibc);
    EXPECT_EQ(harness::visible(glibc), harness::visible(log.received()));
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
        GTEST_SKIP() << harness::uncaptured_why() << ": the log is captured on a private /dev/log";
    for (const bool chrooted : {false, true}) {
        SCOPED_TRACE(chrooted ? "with -u" : "without -u");
        harness::Tree tree(site);
        std::vector<std::string> args = {"-d", tree.at("root")};
        if (chrooted)
            args.insert(args.end(), {"-u", "nobody"});
        const OtherLog none(OtherLog::none);
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
                            "request is too short and probably empty\n", 1}),
    [](const ::testing::TestParamInfo<Quiet> &row_info) { return row_info.param.name; });

// A log daemon that takes nothing holds no run for long: the client has its
// whole answer, the exit status is as ever, and each line lost is said on
// standard error unless that is the client's connection.
struct Stuck {
    std::string name;
    OtherLog::Kind kind;
    std::vector<std::string> args; // after -d and the content root
    std::string input;
    std::string out;
    std::vector<std::string> dropped;
    std::string detail; // on standard error, one line
    int exit_code = 0;
    bool stderr_is_stdout = false;
    bool stderr_stuck = false; // a full pipe nobody reads
};

std::ostream &operator<<(std::ostream &os, const Stuck &s) {
    return os << s.name;
}

std::vector<Stuck> stuck_cases() {
    const std::string served = "20 text/plain\r\ntext\n";
    const std::string empty = "request is too short and probably empty";
    std::vector<Stuck> rows;
    for (const auto kind : {OtherLog::full_datagram, OtherLog::full_stream}) {
        const std::string on = kind == OtherLog::full_datagram ? "datagram " : "stream ";
        const std::string request = "gemini://h/a.txt?" + on.substr(0, on.size() - 1);
        const std::string line = quoted(request, "20", served.size());
        rows.push_back({on + "answered", kind, {}, request + "\r\n", served, {line}});
        rows.push_back({on + "refused",
                        kind,
                        {},
                        "",
                        "59 " + empty + "\r\n",
                        {quoted("", "59", empty.size() + 5), empty},
                        empty,
                        1});
        rows.push_back({on + "standard error is the connection",
                        kind,
                        {},
                        request + "\r\n",
                        served,
                        {},
                        "",
                        0,
                        true});
        rows.push_back(
            {on + "after chroot", kind, {"-u", "nobody"}, request + "\r\n", served, {line}});
        // Standard error stuck as well: the one allowance covers both
        // waits, the log's and the detail's.
        rows.push_back({on + "refused, standard error stuck too",
                        kind,
                        {},
                        "",
                        "59 " + empty + "\r\n",
                        {},
                        "",
                        1,
                        false,
                        true});
    }
    return rows;
}

class StuckLog : public ::testing::TestWithParam<Stuck> {};

TEST_P(StuckLog, HoldsNoRun) {
    const Stuck &s = GetParam();
    if (!harness::log_captured())
        GTEST_SKIP() << harness::uncaptured_why() << ": the log is captured on a private /dev/log";
    harness::Tree tree(site);
    std::vector<std::string> args = {"-d", tree.at("root")};
    args.insert(args.end(), s.args.begin(), s.args.end());
    Options options;
    options.stderr_is_stdout = s.stderr_is_stdout;
    int stuck[2] = {-1, -1};
    if (s.stderr_stuck) {
        if (pipe2(stuck, O_CLOEXEC | O_NONBLOCK) != 0)
            harness::die("pipe: %s", strerror(errno));
        const std::string block(4096, 'x');
        while (write(stuck[1], block.data(), block.size()) > 0) {
        }
        fcntl(stuck[1], F_SETFL, 0); // a write there blocks, as on a stuck journal
        options.stderr_fd = stuck[1];
    }
    const OtherLog log(s.kind);
    const Result r = harness::run(args, s.input, options);
    for (const int fd : stuck)
        if (fd >= 0)
            close(fd);
    std::string err;
    for (const auto &line : s.dropped)
        err += "log daemon too slow, line dropped: " + line + "\n";
    EXPECT_EQ(harness::visible(s.out), harness::visible(r.out));
    if (!s.detail.empty())
        err += s.detail + "\n";
    EXPECT_EQ(harness::visible(err), harness::visible(r.err));
    EXPECT_EQ(s.exit_code, r.exit_code);
    EXPECT_FALSE(r.timed_out);
    // Two seconds of waiting in all, however many lines, and some time to
    // spare for a slow machine.
    EXPECT_LT(r.seconds, 3.5);
    if (s.kind == OtherLog::full_datagram) {
        std::string last;
        EXPECT_LT(0U, log.queued(&last));
        EXPECT_EQ("filler", last) << "a line got into the full queue";
    }
}

INSTANTIATE_TEST_SUITE_P(Daemons, StuckLog, ::testing::ValuesIn(stuck_cases()),
                         [](const ::testing::TestParamInfo<Stuck> &row_info) {
                             return harness::test_name(row_info.param.name);
                         });

} // namespace
