// Whole-program properties of tolm under random, mutated and hostile request
// lines, and a table of bad inputs: every run ends by itself with status 0 or
// 1, writes exactly one request log line, begins its answer with a valid
// header line, and never lets a byte of the canary file outside the content
// root reach the client.
//
// Usage: property TOLM [--runs N] [--seed S] [--budget SECONDS] [--random-only]
// Needs root (log capture, -u nobody); exits 77 (skipped) otherwise.
#include "harness.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using harness::die;
using harness::visible;

namespace {

struct Fixture {
    Fixture();
    harness::Tree tree; // holds the canary and the content roots
    std::string root;   // the content root
    std::string canary; // the canary's path
    std::string secret; // the canary's content
    std::string odd_root;
};

struct Expect {
    int code = -1;        // header code, -1 for any known code
    int exit_status = -1; // -1 for 0 or 1
    int log_lines = 1;    // request log lines (priority 30)
    bool cgi = false;     // the answer is a script's output, not tolm's header
    std::string out;      // exact output, when not empty
    std::string meta;     // exact meta, when not empty
    long body_lines = -1; // line feeds after the header, when not -1
};

struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string request;
    Expect expect;
};

int failures = 0;
long runs_done = 0;
long code_counts[100];

void failed(const Case &c, const harness::Result &r, const char *what) {
    ++failures;
    fprintf(stderr, "FAIL %s: %s\n  args:", c.name.c_str(), what);
    for (const std::string &a : c.args)
        fprintf(stderr, " '%s'", visible(a, 60).c_str());
    fprintf(stderr, "\n  request: %s\n  exit %d signal %d%s after %.2fs\n  out: %s\n  err: %s\n",
            visible(c.request, 200).c_str(), r.exit_code, r.signal,
            r.timed_out ? " (timed out)" : "", r.seconds, visible(r.out, 200).c_str(),
            visible(r.err, 200).c_str());
}

const int known_codes[] = {20, 30, 31, 41, 42, 50, 51, 59};

bool is_known(int code) {
    for (int k : known_codes)
        if (k == code)
            return true;
    return false;
}

// The request log line is "\"%s\" %i %zd": the line, the code, the bytes.
bool parse_request_log(const std::string &text, std::string &request, int &code, long &bytes) {
    const size_t last = text.rfind(' ');
    if (last == std::string::npos || last == 0)
        return false;
    const size_t before = text.rfind(' ', last - 1);
    if (before == std::string::npos || before < 1 || text[0] != '"' || text[before - 1] != '"')
        return false;
    request = text.substr(1, before - 2);
    code = atoi(text.c_str() + before + 1);
    bytes = atol(text.c_str() + last + 1);
    return true;
}

// What the log shows of a text: bytes below 0x20 and 0x7F as %XX.
std::string log_form(const std::string &text) {
    std::string s;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7f) {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            s += hex;
        } else {
            s += ch;
        }
    }
    return s;
}

// "chroot(/srv/x): No such file or directory": the line that follows a
// detail or a "not found" with the system's reason; the detail itself reads
// "chdir(/srv/x) failed".
bool is_reason(const std::string &text) {
    static const char *const calls[] = {"chroot(", "chdir(", "stat(", "open(", "scandir("};
    for (const char *call : calls) {
        if (text.rfind(call, 0) != 0)
            continue;
        const size_t close = text.rfind("): ");
        return close != std::string::npos && close >= strlen(call) && close + 3 < text.size() &&
               isupper(static_cast<unsigned char>(text[close + 3])) != 0;
    }
    return false;
}

void verify(const Fixture &fx, const Case &c, const harness::Result &r) {
    ++runs_done;
    if (r.timed_out || r.signal != 0 || (r.exit_code != 0 && r.exit_code != 1))
        return failed(c, r, "did not end by itself with status 0 or 1");
    if (r.out.find(fx.secret) != std::string::npos || r.err.find(fx.secret) != std::string::npos)
        return failed(c, r, "the canary outside the content root was sent");
    const Expect &e = c.expect;
    if (e.exit_status >= 0 && r.exit_code != e.exit_status)
        return failed(c, r, "unexpected exit status");
    if (!e.out.empty() && r.out != e.out)
        return failed(c, r, "unexpected output");

    std::vector<const harness::LogLine *> requests;
    int details = 0;
    int reasons = 0;
    for (const harness::LogLine &line : r.log) {
        if (line.priority == 30)
            requests.push_back(&line);
        else if (line.priority == 11)
            ++(is_reason(line.text) ? reasons : details);
    }
    if (static_cast<int>(requests.size()) != e.log_lines)
        return failed(
            c, r,
            ("wrong number of request log lines: " + std::to_string(requests.size())).c_str());
    std::string logged;
    int logged_code = 0;
    long logged_bytes = 0;
    if (!parse_request_log(requests.back()->text, logged, logged_code, logged_bytes))
        return failed(
            c, r,
            ("request log line not understood: " + visible(requests.back()->text, 200)).c_str());
    if (logged_bytes != static_cast<long>(r.out.size()))
        return failed(c, r, "logged byte count is not what was written");
    if (!logged.empty() && logged != log_form(c.request.substr(0, c.request.find_first_of("\r\n"))))
        return failed(c, r,
                      ("logged request is not the request line: " + visible(logged, 200)).c_str());
    for (const harness::LogLine &line : r.log)
        if (line.text != log_form(line.text))
            return failed(c, r, ("control byte in the log: " + visible(line.text, 200)).c_str());

    if (e.cgi) {
        if (logged_code != 0)
            return failed(c, r, "a relayed script's run is not logged with code 0");
        return;
    }
    std::string meta;
    const int code = harness::header_code(r.out, &meta);
    if (code < 0 || !is_known(code))
        return failed(c, r, "output does not begin with a valid header line");
    ++code_counts[code];
    if (e.code >= 0 && code != e.code)
        return failed(c, r, "unexpected status code");
    if (!e.meta.empty() && meta != e.meta)
        return failed(c, r, ("unexpected meta: " + visible(meta, 200)).c_str());
    if (logged_code != code)
        return failed(c, r, "logged code is not the header's");
    if ((code == 20 || code == 30 || code == 31) && r.exit_code != 0)
        return failed(c, r, "an answer that is no failure ended with status 1");
    if ((code == 41 || code == 42 || code == 59) && r.exit_code != 1)
        return failed(c, r, "a failure ended with status 0");
    // The error detail goes to the log and to standard error after a
    // failure, and nowhere otherwise; the system's reason may follow it, or
    // a "not found" that a permission caused, in both places too.
    const bool failure = r.exit_code == 1;
    if (failure != (details == 1) || (details + reasons > 0) == r.err.empty())
        return failed(c, r, "error detail does not match the exit status");
    if (code != 20 && r.out.size() != r.out.find('\n') + 1)
        return failed(c, r, "a body after a header that is not a success");
    if (e.body_lines >= 0) {
        const std::string body = r.out.substr(r.out.find('\n') + 1);
        long lines = 0;
        for (char ch : body)
            lines += ch == '\n';
        if (lines != e.body_lines)
            return failed(c, r, ("body has " + std::to_string(lines) + " lines").c_str());
    }
}

void run_case(const Fixture &fx, const Case &c) {
    harness::Options options;
    options.timeout = 5;
    verify(fx, c, harness::run(c.args, c.request, options));
}

std::string percent_encode_all(const std::string &text) {
    std::string out;
    char esc[4];
    for (unsigned char ch : text) {
        snprintf(esc, sizeof esc, "%%%02x", ch);
        out += esc;
    }
    return out;
}

const char odd_name[] = "r\x01\x7f\xff \t\n?%";

Fixture::Fixture() : root(tree.at("root")), canary(tree.at("canary")), odd_root(tree.at(odd_name)) {
    std::random_device rd;
    char text[64];
    snprintf(text, sizeof text, "canary-%08x%08x%08x", rd(), rd(), rd());
    secret = text;
    const std::string sh = "#!/bin/sh\n";
    std::vector<harness::Node> nodes = {
        {"canary", secret + "\n"},
        {"canary.gmi", secret + "\n"},
        {"root/a.txt", "alpha\n"},
        {"root/doc.gmi", "# doc\n"},
        {"root/dir/index.gmi", "# dir\n"},
        {"root/sub/x.bin", std::string("\0\1\2", 3)},
        {"root/sub/sp ace.txt", "space\n"},
        {"root/gone", "", "gemini://example.org/elsewhere"},
        {"root/locked/", "", "", 0700},
        {"root/locked/secret.txt", "root only\n", "", 0600},
        {"root/host/a.txt", "host alpha\n"},
        {"root/host/index.gmi", "# host\n"},
        {"root/h1/a.txt", "host alpha\n"},
        {"root/h1/index.gmi", "# host\n"},
        // A host directory, a CGI directory and a root with odd bytes in their names.
        {"root/h\xff\x01 x/a.txt", "odd host\n"},
        {"root/c g\xff/s", sh + "printf '20 text/plain\\r\\nodd cgi\\n'\n", "", 0755},
        {std::string(odd_name) + "/a.txt", "odd root\n"},
        {"root/cgi-bin/ok", sh + "printf '20 text/plain\\r\\nhello\\n'\n", "", 0755},
        {"root/cgi-bin/early", sh + "printf '20 text/plain\\r\\npart'\nexec >&-\nsleep 0.3\n", "",
         0755},
        {"root/cgi-bin/silent", sh + "exit 0\n", "", 0755},
        {"root/cgi-bin/silentfail", sh + "exit 3\n", "", 0755},
        {"root/cgi-bin/big", sh + "head -c 1048576 /dev/zero\n", "", 0755},
        {"root/cgi-bin/noexec", sh + "echo never\n", "", 0644},
    };
    char name[32];
    for (int i = 0; i < 5000; ++i) {
        snprintf(name, sizeof name, "root/biglist/f%04d", i);
        nodes.push_back({name, ""});
    }
    // Dangling links whose targets fit readlink's 1024-byte buffer or not.
    for (size_t n : {1023u, 1024u, 4095u})
        nodes.push_back(
            {"root/links/l" + std::to_string(n), "", "gemini://h/" + std::string(n - 11, 'x')});
    for (const harness::Node &node : nodes)
        tree.add(node);
}

std::vector<Case> fixed_cases(const Fixture &fx) {
    std::vector<Case> cases;
    const std::string d = fx.root;
    const std::vector<std::string> plain = {"-d", d};
    const std::vector<std::string> chrooted = {"-d", d, "-u", "nobody"};
    const std::vector<std::string> hosts = {"-d", d, "-v"};

    // Requests aimed at the canary one level above the content root.
    const std::string above = fx.canary.substr(1); // without the leading "/"
    const std::vector<std::string> aimed = {
        "../canary",
        "%2e%2e/canary",
        "%2E%2E%2Fcanary",
        "..%2fcanary",
        "a/../../canary",
        "%2f%2e%2e%2fcanary",
        "%2f" + percent_encode_all(fx.canary.substr(1)),
        percent_encode_all(fx.canary),
        "/" + fx.canary,
        "..%2f..%2f..%2f..%2f..%2f" + above,
        "../../../../../../" + above,
        "%2e%2e%2f%2e%2e%2f%2e%2e%2f%2e%2e%2f" + above,
        "..%5ccanary",
        "....//canary",
        "%252e%252e/canary",
        "..%00/canary",
        "../canary.gmi",
        ".%2e/canary",
        "%2e./canary",
        "dir/%2e%2e/%2e%2e/canary",
    };
    for (const std::string &path : aimed) {
        cases.push_back(
            {"aimed at canary: " + path, plain, "gemini://h/" + path + "\r\n", {51, 0}});
        cases.push_back(
            {"aimed at canary, chroot: " + path, chrooted, "gemini://h/" + path + "\r\n", {51, 0}});
        cases.push_back(
            {"aimed at canary, hosts: " + path, hosts, "gemini://host/" + path + "\r\n", {51, 0}});
    }
    cases.push_back({"host .. with hosts", hosts, "gemini://../canary\r\n", {59, 1}});
    cases.push_back({"host . with hosts", hosts, "gemini://./root/a.txt\r\n", {59, 1}});
    cases.push_back({"unknown host with hosts", hosts, "gemini://nohost/a.txt\r\n", {51, 1}});

    // An option value of any length is refused, never overflows.
    const std::string huge(100 * 1024, 'A');
    for (const char *option : {"-d", "-l", "-m", "-u", "-c"})
        cases.push_back({std::string("100 KB value for ") + option,
                         {"-d", d, option, huge},
                         "gemini://h/a.txt\r\n",
                         {41, 1}});
    cases.push_back({"100 KB of odd bytes for -d",
                     {"-d", std::string(100 * 1024, '\xff')},
                     "gemini://h/a.txt\r\n",
                     {41, 1}});

    // Odd bytes in the content root, a host name and the CGI directory.
    cases.push_back({"content root with odd bytes",
                     {"-d", fx.odd_root},
                     "gemini://h/a.txt\r\n",
                     {20, 0, 1, false, "20 text/plain\r\nodd root\n"}});
    cases.push_back({"host name with odd bytes",
                     hosts,
                     "gemini://h\xff\x01 x/a.txt\r\n",
                     {20, 0, 1, false, "20 text/plain\r\nodd host\n"}});
    cases.push_back({"CGI directory with odd bytes",
                     {"-d", d, "-c", "c g\xff"},
                     "gemini://h/c%20g%ff/s\r\n",
                     {-1, 0, 1, true, "20 text/plain\r\nodd cgi\n"}});
    cases.push_back({"CGI directory with odd bytes, raw",
                     {"-d", d, "-c", "/c g\xff"},
                     "gemini://h/c g\xff/s\r\n",
                     {-1, 0, 1, true, "20 text/plain\r\nodd cgi\n"}});

    // A directory of 5000 entries, listed whole.
    Expect listing{20, 0};
    listing.meta = "text/gemini";
    listing.body_lines = 5001;
    cases.push_back(
        {"listing of 5000 entries", {"-d", d, "-i"}, "gemini://h/biglist/\r\n", listing});

    // Link targets up to the longest a file system allows.
    Expect fits{30, 0};
    fits.meta = "gemini://h/" + std::string(1012, 'x');
    cases.push_back({"link target of 1023 bytes", plain, "gemini://h/links/l1023\r\n", fits});
    cases.push_back({"link target of 1024 bytes", plain, "gemini://h/links/l1024\r\n", {51, 0}});
    cases.push_back({"link target of 4095 bytes", plain, "gemini://h/links/l4095\r\n", {51, 0}});
    cases.push_back(
        {"link target of 4095 bytes, chroot", chrooted, "gemini://h/links/l4095\r\n", {51, 0}});

    // Scripts that end their output early, write nothing, or cannot start.
    const std::vector<std::string> cgi = {"-d", d, "-c", "cgi-bin"};
    cases.push_back({"CGI script",
                     cgi,
                     "gemini://h/cgi-bin/ok\r\n",
                     {-1, 0, 1, true, "20 text/plain\r\nhello\n"}});
    cases.push_back({"CGI script closes its output early",
                     cgi,
                     "gemini://h/cgi-bin/early\r\n",
                     {-1, 0, 1, true, "20 text/plain\r\npart"}});
    cases.push_back(
        {"CGI script never writes", cgi, "gemini://h/cgi-bin/silent\r\n", {-1, 0, 1, true}});
    cases.push_back({"CGI script never writes and fails",
                     cgi,
                     "gemini://h/cgi-bin/silentfail\r\n",
                     {-1, 0, 1, true}});
    cases.push_back({"CGI script writes 1 MiB",
                     cgi,
                     "gemini://h/cgi-bin/big\r\n",
                     {-1, 0, 1, true, std::string(1 << 20, '\0')}});
    // The child that cannot start the script logs its own line.
    cases.push_back({"CGI script not executable",
                     cgi,
                     "gemini://h/cgi-bin/noexec\r\n",
                     {-1, 0, 2, true, "42 error when trying run cgi\r\n"}});
    return cases;
}

// Pieces of hostile request lines.
class Generator {
  public:
    Generator(unsigned long seed, const Fixture &fx) : rng_(seed), fx_(fx) {}

    Case next() {
        Case c;
        c.args = {"-d", fx_.root};
        if (chance(3))
            c.args.push_back("-v");
        if (chance(3))
            c.args.push_back("-i");
        if (chance(5))
            c.args.insert(c.args.end(), {"-l", "en"});
        if (chance(6))
            c.args.insert(c.args.end(), {"-m", "text/plain"});
        if (chance(5))
            c.args.insert(c.args.end(), {"-u", "nobody"});
        c.request = line(c.args);
        if (chance(5))
            mutate(c.request);
        c.name = "random #" + std::to_string(count_++);
        return c;
    }

  private:
    bool chance(unsigned n) { return rng_() % n == 0; }
    size_t below(size_t n) { return static_cast<size_t>(rng_() % n); }
    template <size_t N> const char *pick(const char *const (&items)[N]) { return items[below(N)]; }

    std::string host(bool virtual_hosts) {
        static const char *const names[] = {
            "h",   "host",  "h1",          "",       ".",    "..",  "...",    "localhost", "[::1]",
            "a|b", "ho^st", "h\xff\x01 x", "%2e%2e", "HOST", "h\r", "nohost", "canary",    "root"};
        std::string h = virtual_hosts && chance(2) ? (chance(2) ? "host" : "h1") : pick(names);
        if (chance(4))
            h += random_bytes(1 + below(8));
        static const char *const ports[] = {
            "",        ":1965", ":",     ":0", ":-1", ":abc", ":99999999999999999999",
            ":[::1]]", "::::",  ":1965]"};
        return h + pick(ports);
    }

    std::string segment() {
        static const char *const pieces[] = {"",
                                             "..",
                                             ".",
                                             "%2e%2e",
                                             "%2E%2e",
                                             "%2f",
                                             "%2F",
                                             "%",
                                             "%%",
                                             "%25",
                                             "%00",
                                             "%0a",
                                             "%0d",
                                             "\r",
                                             "canary",
                                             "../canary",
                                             "%2e%2e%2fcanary",
                                             "index.gmi",
                                             "a.txt",
                                             "dir",
                                             "sub",
                                             "gone",
                                             "locked",
                                             "biglist",
                                             "links",
                                             "links/l4095",
                                             "tmp",
                                             "doc.gmi",
                                             "%2f%2e%2e",
                                             "..%2f",
                                             "%c0%ae",
                                             "\xc0\xae",
                                             "%ff",
                                             "%-1",
                                             "% 7",
                                             "%+f",
                                             "%4z",
                                             "?",
                                             "#",
                                             "\t",
                                             " ",
                                             "cgi-bin"};
        const unsigned kind = static_cast<unsigned>(below(12));
        // Long runs: most still fit the 1024-byte line, some do not.
        if (kind == 0)
            return std::string(1 + below(chance(4) ? 1200 : 300), "%/."[below(3)]);
        if (kind == 1) {
            std::string run;
            static const char *const units[] = {"/..", "%2e%2e%2f", "..%2f", "/%2e%2e"};
            const char *unit = pick(units);
            for (size_t i = 1 + below(chance(4) ? 300 : 60); i > 0; --i)
                run += unit;
            return run;
        }
        if (kind == 2)
            return percent_encode_all(chance(2) ? fx_.canary : fx_.canary.substr(1));
        if (kind == 3)
            return chance(2) ? fx_.canary : random_bytes(1 + below(16));
        if (kind == 4)
            return std::string(1, '\0') + pick(pieces);
        return pick(pieces);
    }

    std::string line(const std::vector<std::string> &args) {
        bool virtual_hosts = false;
        for (const std::string &a : args)
            virtual_hosts = virtual_hosts || a == "-v";
        static const char *const schemes[] = {"gemini:///", "gemini:/", "GEMINI://",  "",
                                              " gemini://", "gemini:",  "gemini:////"};
        std::string text = chance(5) ? pick(schemes) : "gemini://";
        text += host(virtual_hosts);
        if (!chance(6))
            text += chance(4) ? "//" : "/";
        for (size_t n = below(6); n > 0; --n) {
            text += segment();
            if (!chance(3))
                text += chance(8) ? "%2f" : "/";
        }
        if (chance(4))
            text += "?" + segment();
        static const char *const ends[] = {"\n", "", "\r", "\r\nsecond line\r\n", "\n\n"};
        if (chance(20))
            text += std::string(1000 + below(100), 'p');
        return text + (chance(4) ? pick(ends) : "\r\n");
    }

    std::string random_bytes(size_t n) {
        std::string bytes;
        for (size_t i = 0; i < n; ++i)
            bytes += static_cast<char>(1 + below(255));
        return bytes;
    }

    void mutate(std::string &text) {
        for (size_t n = 1 + below(4); n > 0; --n) {
            const size_t at = text.empty() ? 0 : below(text.size());
            switch (below(4)) {
            case 0:
                if (!text.empty())
                    text[at] = static_cast<char>(rng_());
                break;
            case 1:
                text.insert(at, 1, static_cast<char>(rng_()));
                break;
            case 2:
                if (!text.empty())
                    text.erase(at, 1);
                break;
            default:
                static const char *const pieces[] = {"%", "/..", "%2f", "\r", "\n", "%00"};
                text.insert(at, pick(pieces));
                break;
            }
        }
    }

    std::mt19937_64 rng_;
    const Fixture &fx_;
    long count_ = 0;
};

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 2)
        die("usage: %s TOLM [--runs N] [--seed S] [--budget SECONDS]", argv[0]);
    harness::set_binary(argv[1]);
    long runs = 3000;
    unsigned long seed = 1965;
    double budget = 100;
    bool table_too = true;
    for (int i = 2; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (strcmp(argv[i], "--random-only") == 0)
            table_too = false;
        else if (has_value && strcmp(argv[i], "--runs") == 0)
            runs = atol(argv[++i]);
        else if (has_value && strcmp(argv[i], "--seed") == 0)
            seed = strtoul(argv[++i], nullptr, 10);
        else if (has_value && strcmp(argv[i], "--budget") == 0)
            budget = atof(argv[++i]);
        else
            die("unknown argument %s", argv[i]);
    }
    if (!harness::capture_log()) {
        printf("SKIP: %s: the property test needs a private /dev/log (and root for -u nobody)\n",
               harness::uncaptured_why().c_str());
        return 77;
    }
    const double start = harness::now();
    const Fixture fx;

    const std::vector<Case> table = table_too ? fixed_cases(fx) : std::vector<Case>{};
    for (const Case &c : table)
        run_case(fx, c);
    printf("property: %zu fixed cases, %d failures\n", table.size(), failures);

    Generator gen(seed, fx);
    long random_runs = 0;
    for (; random_runs < runs && harness::now() - start < budget && failures < 20; ++random_runs)
        run_case(fx, gen.next());
    printf("property: %ld random runs (seed %lu) in %.1f s, %d failures\n", random_runs, seed,
           harness::now() - start, failures);
    printf("property: answers by code:");
    for (int code : known_codes)
        printf(" %d:%ld", code, code_counts[code]);
    printf("\n");
    if (random_runs < runs && failures < 20)
        printf("property: stopped at the time budget of %.0f s\n", budget);
    return failures == 0 ? 0 : 1;
}
