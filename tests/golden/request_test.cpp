// Options, the request line's reading and its grammar, seen from outside.
#include "golden.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

using harness::detail;
using harness::Golden;
using harness::logline;
using harness::Node;
using harness::with_reason;

const std::vector<Node> site = {
    {"index.gmi", "# home\n"}, {"a.txt", "text\n"},           {"page.gmi", "page\n"},
    {"README", "readme\n"},    {"h/index.gmi", "# host h\n"},
};

const std::string too_short = "request is too short and probably empty";
const std::string trunc_meta = "41 vnsprintf failed: Output trunkated\r\n";
const std::string trunc_detail = "vsnprintf: Output trunkated";

Golden failure(std::string name, std::vector<std::string> args, std::string input, int code,
               const std::string &meta, const std::string &logged_request,
               const std::string &detail_text) {
    return harness::refused(site, std::move(name), std::move(args), std::move(input),
                            logged_request, code, meta, detail_text);
}

Golden served(std::string name, std::vector<std::string> args, std::string input,
              const std::string &request, const std::string &header, const std::string &body) {
    Golden g = harness::answered(site, std::move(name), std::move(args), request, header, body);
    g.input = std::move(input);
    return g;
}

const std::string line_1023 = "gemini://h/" + std::string(1012, 'a');
const std::string line_1024 = line_1023 + "a";
const std::string line_1022 = "gemini://h/" + std::string(1011, 'b');

std::vector<Golden> reading_rows() {
    const std::string too_long = "request is too long (1024 max): ";
    return {
        failure("empty input", {"-d", "{root}"}, "", 59, too_short, "", too_short),
        failure("lone line feed", {"-d", "{root}"}, "\n", 59, "Malformed request", "",
                "Malformed request, error:No match"),
        failure("lone CR LF", {"-d", "{root}"}, "\r\n", 59, "Malformed request", "",
                "Malformed request, error:No match"),
        served("1023 characters and LF accepted", {"-d", "{root}"}, line_1023 + "\n", line_1023,
               "51 file not found\r\n", ""),
        failure("1024 characters and LF refused", {"-d", "{root}"}, line_1024 + "\n", 59,
                too_long + line_1024, "", too_long + line_1024),
        served("1022 characters and CR LF accepted", {"-d", "{root}"}, line_1022 + "\r\n",
               line_1022, "51 file not found\r\n", ""),
        failure("1023 characters and CR LF refused", {"-d", "{root}"}, line_1023 + "\r\n", 59,
                too_long + line_1023 + "\r", "", too_long + line_1023 + "%0D"),
        failure("no line end", {"-d", "{root}"}, "gemini://h/", 59, too_long + "gemini://h/", "",
                too_long + "gemini://h/"),
        failure("NUL inside the line", {"-d", "{root}"}, std::string("gemini://h/a\0b\n", 15), 59,
                too_long + "gemini://h/a", "", too_long + "gemini://h/a"),
        failure("NUL first", {"-d", "{root}"}, std::string("\0gemini://h/\n", 13), 59, too_long, "",
                too_long),
        failure("long garbage without line end", {"-d", "{root}"}, std::string(5000, 'x'), 59,
                too_long + std::string(1024, 'x'), "", too_long + std::string(1024, 'x')),
        served("CR cuts the line", {"-d", "{root}"}, "gemini://h/a.txt\rjunk\n", "gemini://h/a.txt",
               "20 text/plain\r\n", "text\n"),
        served("second line ignored", {"-d", "{root}"}, "gemini://h/a.txt\r\ngemini://h/x\r\n",
               "gemini://h/a.txt", "20 text/plain\r\n", "text\n"),
        served("LF alone ends the line", {"-d", "{root}"}, "gemini://h/a.txt\n", "gemini://h/a.txt",
               "20 text/plain\r\n", "text\n"),
        // The log and standard error get control bytes as %XX; the client
        // gets the meta as it always did.
        served("control bytes of the request line encoded in the log", {"-d", "{root}"},
               "gemini://h/a\x1b[1m\t\x7f\x01.txt\r\n", "gemini://h/a%1B[1m%09%7F%01.txt",
               "51 file not found\r\n", ""),
        failure("control bytes of a malformed request encoded in the log", {"-d", "{root}"},
                "\x1b[2Jhttp://x/\r\n", 59, "Malformed request", "%1B[2Jhttp://x/",
                "Malformed request, error:No match"),
        failure("control bytes of a detail encoded", {"-d", "{root}"}, "gemini://h/\x1b[2J\x7f", 59,
                too_long + "gemini://h/\x1b[2J\x7f", "", too_long + "gemini://h/%1B[2J%7F"),
    };
}
const std::vector<Golden> reading = reading_rows();
GOLDEN_TABLE(Reading, reading);

std::vector<Golden> grammar_rows() {
    const std::string bad = "Malformed request";
    const std::string why = "Malformed request, error:No match";
    return {
        failure("upper case scheme", {"-d", "{root}"}, "GEMINI://host/\r\n", 59, bad,
                "GEMINI://host/", why),
        failure("one slash", {"-d", "{root}"}, "gemini:/host/\r\n", 59, bad, "gemini:/host/", why),
        failure("leading blank", {"-d", "{root}"}, " gemini://host/\r\n", 59, bad,
                " gemini://host/", why),
        failure("no slashes", {"-d", "{root}"}, "gemini:host/\r\n", 59, bad, "gemini:host/", why),
        failure("other scheme", {"-d", "{root}"}, "https://host/\r\n", 59, bad, "https://host/",
                why),
        failure("high bytes", {"-d", "{root}"}, "\xff\xfe\x80\r\n", 59, bad, "\xff\xfe\x80", why),
        failure("quote unescaped in the log", {"-d", "{root}"}, "say \"hi\"\r\n", 59, bad,
                "say \"hi\"", why),
        served("host only", {"-d", "{root}"}, "gemini://host\r\n", "gemini://host",
               "20 text/gemini\r\n", "# home\n"),
        served("port and query", {"-d", "{root}"}, "gemini://host:1965/a.txt?x=1\r\n",
               "gemini://host:1965/a.txt?x=1", "20 text/plain\r\n", "text\n"),
        served("many slashes", {"-d", "{root}"}, "gemini://///host///a.txt\r\n",
               "gemini://///host///a.txt", "20 text/plain\r\n", "text\n"),
        served("empty host", {"-d", "{root}"}, "gemini://\r\n", "gemini://", "20 text/gemini\r\n",
               "# home\n"),
        served("high bytes in the path", {"-d", "{root}"}, "gemini://h/\xff\xc3\xa9\r\n",
               "gemini://h/\xff\xc3\xa9", "51 file not found\r\n", ""),
        served("fragment is part of the path", {"-d", "{root}"}, "gemini://h/a.txt#top\r\n",
               "gemini://h/a.txt#top", "51 file not found\r\n", ""),
    };
}
const std::vector<Golden> grammar = grammar_rows();
GOLDEN_TABLE(Grammar, grammar);

std::vector<Golden> option_rows() {
    const std::string req = "gemini://h/page.gmi";
    const std::string in = req + "\r\n";
    auto truncated = [](std::string name, std::vector<std::string> args) {
        Golden g;
        g.name = std::move(name);
        g.tree = &site;
        g.args = std::move(args);
        g.input = "gemini://h/page.gmi\r\n";
        g.out = trunc_meta;
        g.exit_code = 1;
        g.log = {logline("", 41, 39), detail(trunc_detail)};
        g.err = trunc_detail + "\n";
        return g;
    };
    const std::string chdir_failed = "chdir(/usr/local/etc/gemini) failed";
    return {
        served("lang of 10 accepted", {"-d", "{root}", "-l", "0123456789"}, in, req,
               "20 text/gemini; lang=0123456789\r\n", "page\n"),
        truncated("lang of 11 refused", {"-d", "{root}", "-l", "01234567890"}),
        truncated("mime of 64 refused", {"-d", "{root}", "-m", std::string(64, 'm')}),
        truncated("user of 73 refused", {"-d", "{root}", "-u", std::string(73, 'u')}),
        truncated("root of 1024 refused", {"-d", std::string(1024, 'd')}),
        truncated("cgi of 1024 refused before stripping",
                  {"-d", "{root}", "-c", "/" + std::string(1023, 'c')}),
        truncated("huge value", {"-d", std::string(100000, 'd')}),
        failure("user of 72 accepted", {"-d", "{root}", "-u", std::string(72, 'u')}, in, 41,
                "privileges issue, see logs", req,
                "the user " + std::string(72, 'u') + " can't be found on the system"),
        // Accepted as an option; chdir then refuses a name this long.
        with_reason(failure("root of 1023 accepted", {"-d", "/" + std::string(1022, 'd')}, in, 50,
                            "Internal server error", req,
                            "chdir(/" + std::string(1022, 'd') + ") failed"),
                    "chdir(/" + std::string(1022, 'd') + "): File name too long"),
        served("mime of 63 accepted", {"-d", "{root}", "-m", std::string(63, 'm')},
               "gemini://h/README\r\n", "gemini://h/README", "20 " + std::string(63, 'm') + "\r\n",
               "readme\n"),
        served("unknown option ignored", {"-x", "-d", "{root}", "-l", "en"}, in, req,
               "20 text/gemini; lang=en\r\n", "page\n"),
        failure("missing last argument ignored", {"-d"}, in, 51, "file not found", req,
                chdir_failed),
        failure("no options", {}, in, 51, "file not found", req, chdir_failed),
        served("last value wins", {"-d", "/nonexistent", "-d", "{root}", "-l", "de", "-l", "en"},
               in, req, "20 text/gemini; lang=en\r\n", "page\n"),
        served("argument in the same word", {"-d{root}", "-len"}, in, req,
               "20 text/gemini; lang=en\r\n", "page\n"),
        served("flags bundled", {"-vi", "-d", "{root}"}, "gemini://h/\r\n", "gemini://h/",
               "20 text/gemini\r\n", "# host h\n"),
        served("double dash ends options", {"-d", "{root}", "--", "-l", "en"}, in, req,
               "20 text/gemini\r\n", "page\n"),
        served("first word ends options", {"-d", "{root}", "word", "-l", "en"}, in, req,
               "20 text/gemini\r\n", "page\n"),
        served("fallback mime", {"-d", "{root}", "-m", "text/gemini", "-l", "en"},
               "gemini://h/README\r\n", "gemini://h/README", "20 text/gemini; lang=en\r\n",
               "readme\n"),
    };
}
const std::vector<Golden> options = option_rows();
GOLDEN_TABLE(Options, options);

// POSIXLY_CORRECT in the environment must change nothing: parsing is POSIX
// whatever the environment says, and a word ends the options either way.
TEST(OptionsEnvironment, PosixlyCorrectIgnored) {
    harness::Tree tree(site);
    harness::Options o;
    o.env = {"PATH=/usr/bin:/bin", "POSIXLY_CORRECT=1"};
    auto r = harness::run({"-d", tree.dir(), "word", "-l", "en"}, "gemini://h/page.gmi\r\n", o);
    EXPECT_EQ("20 text/gemini\r\npage\n", r.out);
    o.env = {"PATH=/usr/bin:/bin"};
    r = harness::run({"-d", tree.dir(), "-l", "en", "word"}, "gemini://h/page.gmi\r\n", o);
    EXPECT_EQ("20 text/gemini; lang=en\r\npage\n", r.out);
}

} // namespace

namespace {

// Under inetd-style super-servers descriptors 1 and 2 are the same client
// connection: the detail must not follow the header to the client, also not
// from a CGI child whose descriptor 1 has become its pipe.
TEST(SharedStderr, DetailStaysOffTheConnection) {
    harness::Tree tree(
        {{"index.gmi", "# home\n"}, {"cgi-bin/plain", "#!/bin/sh\necho no\n", "", 0644}});
    harness::Options o;
    o.stderr_is_stdout = true;
    struct Case {
        std::vector<std::string> args;
        std::string input, out;
        int exit_code;
    };
    const Case cases[] = {
        {{"-d", tree.dir()}, "", "59 request is too short and probably empty\r\n", 1},
        {{"-d", tree.dir()}, "http://x/\r\n", "59 Malformed request\r\n", 1},
        {{"-d", tree.dir() + "/missing"}, "gemini://h/\r\n", "51 file not found\r\n", 1},
        {{"-d", tree.dir(), "-c", "cgi-bin"},
         "gemini://h/cgi-bin/plain\r\n",
         "42 error when trying run cgi\r\n",
         0},
    };
    for (const auto &c : cases) {
        auto r = harness::run(c.args, c.input, o);
        EXPECT_EQ(harness::visible(c.out), harness::visible(r.out)) << c.input;
        EXPECT_EQ(c.exit_code, r.exit_code) << c.input;
    }
}

} // namespace

namespace {

// A terminal of the test's own as a command's standard input, its other
// end for typing. The harness's /dev holds no terminals: a devpts instance
// of this namespace's own, gone once its two ends are open.
struct Terminal {
    int master = -1, terminal = -1;
    explicit Terminal(const harness::Tree &tree) {
        const std::string pts = tree.at("pts");
        if (mount("devpts", pts.c_str(), "devpts", 0, "newinstance,ptmxmode=0666") != 0)
            return;
        master = open((pts + "/ptmx").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        int unlock = 0;
        if (master >= 0 && ioctl(master, TIOCSPTLCK, &unlock) == 0)
            terminal = ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC);
        const int err = errno;
        umount2(pts.c_str(), MNT_DETACH);
        errno = err;
    }
    ~Terminal() {
        for (int fd : {master, terminal})
            if (fd >= 0)
                close(fd);
    }
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;
};

// Started by hand at a terminal, tolm says what it waits for, then reads the
// request as from anywhere else. From a pipe it says nothing: every other
// row of these tables expects an empty standard error.
TEST(Terminal, HintThenRequest) {
    if (!harness::log_captured())
        GTEST_SKIP() << harness::uncaptured_why()
                     << ": a terminal of its own in the private mount namespace";
    harness::Tree tree(std::vector<Node>{{"a.txt", "text\n"}, {"pts/", ""}});
    const Terminal t(tree);
    ASSERT_GE(t.terminal, 0) << strerror(errno);
    // The terminal turns the typed line end into a line feed.
    const std::string typed = "gemini://h/a.txt\n";
    ASSERT_EQ(static_cast<ssize_t>(typed.size()), write(t.master, typed.data(), typed.size()));
    harness::Options o;
    o.stdin_fd = t.terminal;
    const auto r = harness::run({"-d", tree.dir()}, "", o);
    EXPECT_EQ("20 text/plain\r\ntext\n", r.out);
    EXPECT_EQ("tolm reads one Gemini request line (gemini://host/path) from standard input and "
              "answers on standard output; see man tolm\n",
              r.err);
    EXPECT_EQ(0, r.exit_code);
}

// --help and --version are answered at a terminal only. From a super-server
// they are options like any other: getopt reads "--help" as -l "p", and
// "--version" as -v (virtual hosts) among unknown letters.
TEST(Terminal, HelpAndVersion) {
    if (!harness::log_captured())
        GTEST_SKIP() << harness::uncaptured_why()
                     << ": a terminal of its own in the private mount namespace";
    harness::Tree tree(
        std::vector<Node>{{"index.gmi", "# home\n"}, {"h/index.gmi", "# host h\n"}, {"pts/", ""}});
    const std::string usage =
        "usage: tolm [-ipv] [-c cgidir] [-d rootdir] [-l lang] [-m mimetype] [-u user]\n";
    struct Case {
        std::string option;
        bool at_terminal;
        std::string out;
    };
    const Case cases[] = {
        {"--help", true, usage},
        {"--version", true, "tolm " TOLM_VERSION "\n"},
        {"--help", false, "20 text/gemini; lang=p\r\n# home\n"},
        {"--version", false, "20 text/gemini\r\n# host h\n"},
    };
    for (const auto &c : cases) {
        const Terminal t(tree);
        ASSERT_GE(t.terminal, 0) << strerror(errno);
        harness::Options o;
        if (c.at_terminal)
            o.stdin_fd = t.terminal;
        const auto r =
            harness::run({c.option, "-d", tree.dir()}, c.at_terminal ? "" : "gemini://h/\r\n", o);
        EXPECT_EQ(harness::visible(c.out), harness::visible(r.out)) << c.option;
        EXPECT_EQ("", r.err) << c.option;
        EXPECT_EQ(0, r.exit_code) << c.option;
    }
}

} // namespace
