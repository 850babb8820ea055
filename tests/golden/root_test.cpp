// Entering the content root: per-host roots, chroot and the account switch.
#include "golden.h"

namespace {

using harness::detail;
using harness::Golden;
using harness::logline;
using harness::Node;
using harness::with_reason;

const std::vector<Node> site = {
    {"root/index.gmi", "# home\n"},
    {"root/a.txt", "text\n"},
    {"root/example/index.gmi", "# example\n"},
    {"root/example/a.txt", "example text\n"},
    {"root/EXAMPLE.txt", "not a host\n"},
    {"root/locked/", "", "", 0700},
    {"root/locked/a.txt", "locked\n"},
    {"root/file", "plain file\n"},
    {"root/secret.txt", "secret\n", "", 0600},
    {"root/loop", "", "loop"},
    {"outside.txt", "outside the root\n"},
};

const std::string refused = "privileges issue, see logs";

Golden ends(std::string name, std::vector<std::string> args, const std::string &request, int code,
            const std::string &meta, const std::string &detail_text, bool as_nobody = false) {
    return harness::refused(site, std::move(name), std::move(args), request + "\r\n", request, code,
                            meta, detail_text, as_nobody);
}

Golden serves(std::string name, std::vector<std::string> args, const std::string &request,
              const std::string &header, const std::string &body, bool as_nobody = false) {
    return harness::answered(site, std::move(name), std::move(args), request, header, body,
                             as_nobody);
}

std::vector<Golden> rows() {
    const std::string r = "{root}/root";
    return {
        serves("plain root", {"-d", r}, "gemini://h/a.txt", "20 text/plain\r\n", "text\n"),
        serves("relative names stay below the root", {"-d", r}, "gemini://h/../outside.txt",
               "51 file not found\r\n", ""),
        serves("runs as any account without -u", {"-d", r}, "gemini://h/a.txt", "20 text/plain\r\n",
               "text\n", true),
        ends("missing root", {"-d", r + "/missing"}, "gemini://h/", 51, "file not found",
             "chdir(" + r + "/missing) failed"),
        with_reason(ends("root is a file", {"-d", r + "/file"}, "gemini://h/", 51, "file not found",
                         "chdir(" + r + "/file) failed"),
                    "chdir(" + r + "/file): Not a directory"),
        with_reason(ends("root without search permission", {"-d", r + "/locked"}, "gemini://h/", 50,
                         "Forbidden path", "chdir(" + r + "/locked) failed", true),
                    "chdir(" + r + "/locked): Permission denied"),
        with_reason(ends("root is a link loop", {"-d", r + "/loop"}, "gemini://h/", 50,
                         "Internal server error", "chdir(" + r + "/loop) failed"),
                    "chdir(" + r + "/loop): Too many levels of symbolic links"),

        serves("chroot and switch", {"-d", r, "-u", "nobody"}, "gemini://h/a.txt",
               "20 text/plain\r\n", "text\n"),
        serves("chroot keeps absolute names inside", {"-d", r, "-u", "nobody"},
               "gemini://h/%2Fa.txt", "20 text/plain\r\n", "text\n"),
        // The client hears "not found"; the log tells a permission problem
        // from a missing file, which adds no line.
        with_reason(serves("switched account cannot read root-only files",
                           {"-d", r, "-u", "nobody"}, "gemini://h/secret.txt",
                           "51 file not found and may have vanished\r\n", ""),
                    "open(secret.txt): Permission denied"),
        with_reason(serves("switched account cannot search root-only directories",
                           {"-d", r, "-u", "nobody"}, "gemini://h/locked/a.txt",
                           "51 file not found\r\n", ""),
                    "stat(locked/a.txt): Permission denied"),
        serves("switched account misses a missing file", {"-d", r, "-u", "nobody"},
               "gemini://h/nothing.txt", "51 file not found\r\n", ""),
        with_reason(serves("switched account cannot search the root",
                           {"-d", r + "/locked", "-u", "nobody"}, "gemini://h/a.txt",
                           "51 file not found\r\n", ""),
                    "stat(a.txt): Permission denied"),
        with_reason(serves("switched account cannot search the root, home page",
                           {"-d", r + "/locked", "-u", "nobody"}, "gemini://h/",
                           "51 file not found\r\n", ""),
                    "stat(./): Permission denied"),
        ends("unknown account", {"-d", r, "-u", "no-such-account"}, "gemini://h/", 41, refused,
             "the user no-such-account can't be found on the system"),
        ends("not started by root", {"-d", r, "-u", "nobody"}, "gemini://h/", 41, refused,
             "chroot requires program to be run as root", true),
        // An empty account, from an unset variable say, confines like any
        // other: it is refused, never taken for "no -u".
        ends("empty account", {"-d", r, "-u", ""}, "gemini://h/a.txt", 41, refused,
             "the user  can't be found on the system"),
        ends("empty account given last", {"-d", r, "-u", "nobody", "-u", ""}, "gemini://h/a.txt",
             41, refused, "the user  can't be found on the system"),
        ends("empty account, not started by root", {"-d", r, "-u", ""}, "gemini://h/a.txt", 41,
             refused, "chroot requires program to be run as root", true),
        ends("line feed in an account name", {"-d", r, "-u", "a\nb"}, "gemini://h/", 41, refused,
             "the user a%0Ab can't be found on the system"),
        ends("not root is told before the lookup", {"-d", r, "-u", "no-such-account"},
             "gemini://h/", 41, refused, "chroot requires program to be run as root", true),
        with_reason(ends("chroot into a missing root", {"-d", r + "/missing", "-u", "nobody"},
                         "gemini://h/", 41, refused,
                         "the chroot_dir " + r + "/missing can't be used for chroot"),
                    "chroot(" + r + "/missing): No such file or directory"),
        with_reason(ends("chroot into a file", {"-d", r + "/file", "-u", "nobody"}, "gemini://h/",
                         41, refused, "the chroot_dir " + r + "/file can't be used for chroot"),
                    "chroot(" + r + "/file): Not a directory"),

        serves("host root", {"-d", r, "-v"}, "gemini://example/a.txt", "20 text/plain\r\n",
               "example text\n"),
        serves("host root with port", {"-d", r, "-v", "-l", "en"}, "gemini://example:1965/",
               "20 text/gemini; lang=en\r\n", "# example\n"),
        ends("empty host refused: it would make the parent of all hosts the root", {"-d", r, "-v"},
             "gemini://:1965/a.txt", 59, "Malformed request", "invalid host name "),
        ends("host names are case-sensitive", {"-d", r, "-v"}, "gemini://EXAMPLE/a.txt", 51,
             "file not found", "chdir(" + r + "/EXAMPLE) failed"),
        ends("unknown host", {"-d", r, "-v"}, "gemini://other/", 51, "file not found",
             "chdir(" + r + "/other) failed"),
        harness::refused(site, "control bytes of a host encoded", {"-d", r, "-v"},
                         "gemini://\x01\x1b[0m/\r\n", "gemini://%01%1B[0m/", 51, "file not found",
                         "chdir(" + r + "/%01%1B[0m) failed"),
        with_reason(ends("unknown host with chroot", {"-d", r, "-v", "-u", "nobody"},
                         "gemini://other/", 41, refused,
                         "the chroot_dir " + r + "/other can't be used for chroot"),
                    "chroot(" + r + "/other): No such file or directory"),
        serves("host root with chroot", {"-d", r, "-v", "-u", "nobody"}, "gemini://example/a.txt",
               "20 text/plain\r\n", "example text\n"),
        ends("dot-dot host refused", {"-d", r, "-v"}, "gemini://../outside.txt", 59,
             "Malformed request", "invalid host name .."),
        ends("dot host refused", {"-d", r, "-v"}, "gemini://./a.txt", 59, "Malformed request",
             "invalid host name ."),
        ends("host join too long", {"-d", "/" + std::string(1020, 'd'), "-v"}, "gemini://abcd/", 41,
             "vnsprintf failed: Output trunkated", "vsnprintf: Output trunkated"),
        ends("cgi join too long", {"-d", "/" + std::string(1000, 'd'), "-c", std::string(30, 'c')},
             "gemini://h/", 41, "vnsprintf failed: Output trunkated",
             "vsnprintf: Output trunkated"),
    };
}
const std::vector<Golden> root_rows = rows();
GOLDEN_TABLE(ContentRoot, root_rows);

// Joined paths at their 1024-byte limit and one past it. The host joins
// the root first and the CGI directory joins that, so with -v and -c the
// longer of the two joins decides. A directory's index path is the longest
// a request line can make: 10 bytes of "gemini://:", the rest path.
std::string padding(size_t n) { // a relative path of n bytes, no name longer than 100
    std::string s;
    while (n - s.size() > 100)
        s += std::string(99, 'p') + "/";
    return s + std::string(n - s.size(), 'p');
}
// A root of n bytes, "{root}" counted as the tree's directory it stands for.
std::string root_of(size_t n) {
    return padding(n - harness::tree_dir_length - 1);
}
const std::string host(200, 'h');
const std::string at_limit = root_of(1023 - 1 - host.size());          // root/host
const std::string under_cgi = root_of(1023 - 1 - host.size() - 1 - 7); // root/host/cgi-bin
const std::string deep = padding(1012) + "/";                          // + "/index.gmi": 1023 bytes
// One byte more: a path may begin with "|", which ends an empty host, so
// the request line has room for it ("gemini://" and 1014 bytes of path).
const std::string deeper = "|/" + padding(1011) + "/";
const std::vector<Node> long_paths = {
    {at_limit + "/" + host + "/index.gmi", "# host at the limit\n"},
    {under_cgi + "/" + host + "/index.gmi", "# cgi at the limit\n"},
    {"deep/" + deep + "index.gmi", "# index at the limit\n"},
    {"deep/" + deeper + "index.gmi", "# index past the limit\n"},
    {"deep/" + deeper + "index.gm", "# a cut name\n"},
};

std::vector<Golden> limit_rows() {
    const std::string trunc_meta = "vnsprintf failed: Output trunkated";
    const std::string trunc_detail = "vsnprintf: Output trunkated";
    const std::string r = "{root}/";
    const std::string longer = host + "h";
    Golden index =
        harness::answered(long_paths, "index path at the limit", {"-d", r + "deep"},
                          "gemini://:" + deep, "20 text/gemini\r\n", "# index at the limit\n");
    index.input = "gemini://:" + deep + "\n"; // with CR LF the line would be too long
    // A cut join would name "index.gm", which is there to be found.
    Golden past = harness::refused(long_paths, "index path one past the limit", {"-d", r + "deep"},
                                   "gemini://" + deeper + "\n", "gemini://" + deeper, 41,
                                   trunc_meta, trunc_detail);
    return {
        harness::answered(long_paths, "host join at the limit", {"-d", r + at_limit, "-v"},
                          "gemini://" + host + "/", "20 text/gemini\r\n", "# host at the limit\n"),
        harness::refused(long_paths, "host join one past the limit", {"-d", r + at_limit, "-v"},
                         "gemini://" + longer + "/\r\n", "gemini://" + longer + "/", 41, trunc_meta,
                         trunc_detail),
        harness::answered(long_paths, "cgi join after the host join at the limit",
                          {"-d", r + under_cgi, "-v", "-c", "cgi-bin"}, "gemini://" + host + "/",
                          "20 text/gemini\r\n", "# cgi at the limit\n"),
        harness::refused(long_paths, "cgi join after the host join one past the limit",
                         {"-d", r + under_cgi, "-v", "-c", "cgi-bin8"},
                         "gemini://" + host + "/\r\n", "gemini://" + host + "/", 41, trunc_meta,
                         trunc_detail),
        index,
        past,
    };
}
const std::vector<Golden> limits = limit_rows();
GOLDEN_TABLE(Limits, limits);

} // namespace
