// Serving files: decoding and confinement of the path, redirects, index
// files, MIME types and the bytes of the body.
#include "golden.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using harness::Golden;
using harness::logline;
using harness::Node;
using harness::with_reason;

// Every byte value, in an order that shows a misplaced block.
std::string bytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<char>(seed >> 16);
    }
    return s;
}

const std::string block = bytes(8192, 1);
const std::string blocks = bytes(2 * 8192 + 1, 2);
const std::string large = bytes(3 * 1024 * 1024 + 7, 3);

const std::vector<Node> site = {
    {"root/index.gmi", "# home\n"},
    {"root/a.txt", "text\n"},
    {"root/pic.png", "\x89PNG\r\n\x1a\n"},
    {"root/notes.gemini", "notes\n"},
    {"root/.gmi", "dot gmi\n"},
    {"root/UPPER.GMI", "upper\n"},
    {"root/archive.tar.gz", "gz"},
    {"root/README", "readme\n"},
    {"root/empty.txt", ""},
    {"root/block.bin", block},
    {"root/blocks.bin", blocks},
    {"root/large.bin", large},
    {"root/my file.txt", "spaced\n"},
    {"root/100%.txt", "percent\n"},
    {"root/q?.txt", "question\n"},
    {"root/docs/index.gmi", "# docs\n"},
    {"root/docs/page.gmi", "docs page\n"},
    {"root/docs.old/README", "old readme\n"},
    {"root/my dir/x.txt", "x\n"},
    {"root/bare/x.txt", "x\n"},
    {"root/odd/index.gmi/", ""},
    {"root/secret.txt", "secret\n", "", 0600},
    {"root/to-file", "", "a.txt"},
    {"root/to-dir", "", "docs"},
    {"root/abs-to-file", "", "{root}/root/a.txt"},
    {"root/gone", "", "missing.gmi"},
    {"root/gone-abs", "", "/no/such/place"},
    {"root/moved", "", "gemini://example.org/new/"},
    {"root/loop1", "", "loop2"},
    {"root/loop2", "", "loop1"},
    {"root/long-target", "", std::string(1023, 'x')},
    {"root/too-long-target", "", std::string(2000, 'y')},
    {"canary.txt", "CANARY outside the root\n"},
    {"root/escape", "", "../canary.txt"},
};

Golden row(std::string name, std::vector<std::string> args, const std::string &request,
           const std::string &header, const std::string &body = "", bool as_nobody = false) {
    return harness::answered(site, std::move(name), std::move(args), request, header, body,
                             as_nobody);
}

const std::vector<std::string> plain = {"-d", "{root}/root"};
const std::vector<std::string> english = {"-d", "{root}/root", "-l", "en"};
const std::vector<std::string> chrooted = {"-d", "{root}/root", "-u", "nobody"};
const std::string not_found = "51 file not found\r\n";
const std::string vanished = "51 file not found and may have vanished\r\n";

std::vector<Golden> delivery_rows() {
    return {
        row("gemtext without lang", plain, "gemini://h/index.gmi", "20 text/gemini\r\n",
            "# home\n"),
        row("gemtext with lang", english, "gemini://h/index.gmi", "20 text/gemini; lang=en\r\n",
            "# home\n"),
        row("gemini extension", english, "gemini://h/notes.gemini", "20 text/gemini; lang=en\r\n",
            "notes\n"),
        row("name that is only the extension", plain, "gemini://h/.gmi", "20 text/gemini\r\n",
            "dot gmi\n"),
        row("other type has no lang", english, "gemini://h/a.txt", "20 text/plain\r\n", "text\n"),
        row("binary type", plain, "gemini://h/pic.png", "20 image/png\r\n", "\x89PNG\r\n\x1a\n"),
        row("extension case matters", plain, "gemini://h/UPPER.GMI",
            "20 application/octet-stream\r\n", "upper\n"),
        row("only the last dot counts", plain, "gemini://h/archive.tar.gz",
            "20 application/octet-stream\r\n", "gz"),
        row("no extension", plain, "gemini://h/README", "20 application/octet-stream\r\n",
            "readme\n"),
        row("fallback set by option", {"-d", "{root}/root", "-m", "text/plain"},
            "gemini://h/README", "20 text/plain\r\n", "readme\n"),
        row("fallback text/gemini gets lang",
            {"-d", "{root}/root", "-m", "text/gemini", "-l", "en"}, "gemini://h/README",
            "20 text/gemini; lang=en\r\n", "readme\n"),
        row("fallback text/gemini without lang", {"-d", "{root}/root", "-m", "text/gemini"},
            "gemini://h/README", "20 text/gemini\r\n", "readme\n"),
        row("dot only in a directory name", plain, "gemini://h/docs.old/README",
            "20 application/octet-stream\r\n", "old readme\n"),
        row("empty file", plain, "gemini://h/empty.txt", "20 text/plain\r\n", ""),
        row("exactly one block", plain, "gemini://h/block.bin", "20 application/octet-stream\r\n",
            block),
        row("two blocks and one byte", plain, "gemini://h/blocks.bin",
            "20 application/octet-stream\r\n", blocks),
        row("large file", plain, "gemini://h/large.bin", "20 application/octet-stream\r\n", large),
        with_reason(row("unreadable file", plain, "gemini://h/secret.txt", vanished, "", true),
                    "open(secret.txt): Permission denied"),
        row("missing file", plain, "gemini://h/nothing.gmi", not_found),
        row("file with a trailing slash", plain, "gemini://h/a.txt/", not_found),
    };
}
const std::vector<Golden> delivery = delivery_rows();
GOLDEN_TABLE(Delivery, delivery);

std::vector<Golden> resolution_rows() {
    return {
        row("root index", english, "gemini://h/", "20 text/gemini; lang=en\r\n", "# home\n"),
        row("no path is the root", english, "gemini://h", "20 text/gemini; lang=en\r\n",
            "# home\n"),
        row("directory index", english, "gemini://h/docs/", "20 text/gemini; lang=en\r\n",
            "# docs\n"),
        row("directory without slash", plain, "gemini://h/docs", "31 /docs/\r\n"),
        row("nested directory without slash", plain, "gemini://h/docs/../my%20dir",
            "31 /my%20dir/\r\n"),
        row("dot is a directory", plain, "gemini://h/.", "31 /./\r\n"),
        row("directory without index or listing", plain, "gemini://h/bare/", not_found),
        row("root without index or listing", {"-d", "{root}/root/bare"}, "gemini://h/", not_found),
        row("directory without index, fallback text/gemini",
            {"-d", "{root}/root", "-m", "text/gemini"}, "gemini://h/bare/", not_found),
        row("index that is a directory", plain, "gemini://h/odd/", not_found),
        row("index that is a directory, listing on", {"-d", "{root}/root", "-i"}, "gemini://h/odd/",
            "20 text/gemini\r\n", "=> .. ../\n=> ./index.gmi/ index.gmi/\n"),
        row("link to a file", plain, "gemini://h/to-file", "20 application/octet-stream\r\n",
            "text\n"),
        row("absolute link to a file", plain, "gemini://h/abs-to-file",
            "20 application/octet-stream\r\n", "text\n"),
        row("link to a directory", plain, "gemini://h/to-dir", "31 /to-dir/\r\n"),
        row("link to a directory with slash", plain, "gemini://h/to-dir/", "20 text/gemini\r\n",
            "# docs\n"),
        row("dangling relative link", plain, "gemini://h/gone", "30 missing.gmi\r\n"),
        row("dangling absolute link", plain, "gemini://h/gone-abs", "30 /no/such/place\r\n"),
        row("link to a URL", plain, "gemini://h/moved", "30 gemini://example.org/new/\r\n"),
        row("link loop", plain, "gemini://h/loop1", "30 loop2\r\n"),
        row("longest link target that fits", plain, "gemini://h/long-target",
            "30 " + std::string(1023, 'x') + "\r\n"),
        row("link target too long to redirect", plain, "gemini://h/too-long-target", not_found),
        row("decoded name", plain, "gemini://h/my%20file.txt", "20 text/plain\r\n", "spaced\n"),
        row("decoded percent", plain, "gemini://h/100%25.txt", "20 text/plain\r\n", "percent\n"),
        row("decoded question mark", plain, "gemini://h/q%3F.txt", "20 text/plain\r\n",
            "question\n"),
        row("query is not part of the name", plain, "gemini://h/a.txt?x=%2F", "20 text/plain\r\n",
            "text\n"),
        row("path decoded to nothing", plain, "gemini://h/%00", not_found),
        row("path cut by a decoded NUL", plain, "gemini://h/a.txt%00.png", "20 text/plain\r\n",
            "text\n"),
        row("decoded CR LF", plain, "gemini://h/a%0d%0a.txt", not_found),
        row("decoded high bytes", plain, "gemini://h/%ff%fe", not_found),
        row("dot-dot strips what stands before", plain, "gemini://h/docs/../a.txt",
            "20 text/plain\r\n", "text\n"),
        row("encoded dot-dot strips too", plain, "gemini://h/docs%2f%2e%2e%2fa.txt",
            "20 text/plain\r\n", "text\n"),
    };
}
const std::vector<Golden> resolution = resolution_rows();
GOLDEN_TABLE(Resolution, resolution);

// No request reaches canary.txt, which lies beside the content root.
std::vector<Golden> confinement_rows() {
    std::vector<Golden> rows;
    const std::string attacks[] = {
        "gemini://h/../canary.txt",
        "gemini://h/../../canary.txt",
        "gemini://h/%2e%2e/canary.txt",
        "gemini://h/%2e%2e%2fcanary.txt",
        "gemini://h/..%2fcanary.txt",
        "gemini://h/%2F..%2Fcanary.txt",
        "gemini://h/a/b/../../../canary.txt",
        "gemini://h/%2F{root}/canary.txt",
        "gemini://h/%2f%2f{root}/canary.txt",
        "gemini://h/..%2f..%2f..%2f..%2f..%2f..%2f{root}/canary.txt",
        "gemini://h/.%2e/canary.txt",
        "gemini://h/%2e./canary.txt",
        "gemini://h/%%32%65%%32%65/canary.txt",
    };
    int i = 0;
    for (const auto &mode : {plain, chrooted}) {
        for (const auto &attack : attacks) {
            const char *how = mode == chrooted ? " in chroot" : "";
            auto g = row("attack " + std::to_string(++i) + how, mode, attack, not_found);
            rows.push_back(g);
        }
    }
    // What is inside the root and linked out by the operator stays reachable:
    // links are the operator's choice.
    rows.push_back(row("operator link out of the root", plain, "gemini://h/escape",
                       "20 application/octet-stream\r\n", "CANARY outside the root\n"));
    rows.push_back(row("absolute path redirect stays relative in chroot", chrooted,
                       "gemini://h/%2Fdocs", "31 /docs/\r\n"));
    rows.push_back(
        row("dot-dot redirect stays relative", plain, "gemini://h/..%2Fdocs", "31 /docs/\r\n"));
    return rows;
}
const std::vector<Golden> confinement = confinement_rows();
GOLDEN_TABLE(Confinement, confinement);

// Names in a root that are neither files nor directories, and names whose
// bytes could break a header or listing line. Nothing here may block or
// stream for ever: the harness's time limit catches a hang.
const std::vector<Node> odd_site = {
    {"root/index.gmi", "# home\n"},
    {"root/fifo", "", "", S_IFIFO},
    {"root/sock", "", "", S_IFSOCK},
    {"root/to-fifo", "", "fifo"},
    {"root/to-zero", "", "/dev/zero"},
    {"root/to-null", "", "/dev/null"},
    {"root/fifo-index/index.gmi", "", "", S_IFIFO},
    {"root/fifo-index/a.txt", "a\n"},
    {"root/line\r\nbreak/index.gmi", "# broken\n"},
    {"root/ctl\x7f\x01/index.gmi", "# ctl\n"},
    {"root/forged", "", "x\r\n20 text/plain"},
    {"root/blank", "", "new page.gmi"},
    {"root/raw", "", "caf\xc3\xa9 100%?#"},
    {"root/dirs/sp ace/", ""},
    {"root/dirs/a?b/", ""},
    {"root/dirs/100%/", ""},
    {"root/dirs/#frag/", ""},
    {"root/dirs/caf\xc3\xa9/", ""},
};

// Directory names whose bytes change what a URL means, each with its
// encoding in a listing's link and in the directory redirect, which must
// agree: a client follows either to the same place.
const struct {
    const char *name, *request, *encoded;
} dir_names[] = {
    {"#frag", "%23frag", "%23frag"},    {"100%", "100%25", "100%25"},
    {"a?b", "a%3Fb", "a%3Fb"},          {"caf\xc3\xa9", "caf%C3%A9", "caf\xc3\xa9"},
    {"sp ace", "sp%20ace", "sp%20ace"},
};

std::vector<Golden> odd_rows() {
    auto row = [](std::string name, std::vector<std::string> args, const std::string &request,
                  const std::string &header, const std::string &body = "") {
        return harness::answered(odd_site, std::move(name), std::move(args), request, header, body);
    };
    const std::vector<std::string> listed = {"-d", "{root}/root", "-i"};
    std::vector<Golden> rows = {
        row("FIFO is not there", plain, "gemini://h/fifo", not_found),
        row("FIFO in chroot is not there", chrooted, "gemini://h/fifo", not_found),
        row("socket is not there", plain, "gemini://h/sock", not_found),
        row("link to a FIFO is not there", plain, "gemini://h/to-fifo", not_found),
        row("link to an endless device is not there", plain, "gemini://h/to-zero", not_found),
        row("link to an empty device is not there", plain, "gemini://h/to-null", not_found),
        row("FIFO as index is no index", listed, "gemini://h/fifo-index/", "20 text/gemini\r\n",
            "=> .. ../\n=> ./a.txt a.txt\n=> ./index.gmi index.gmi\n"),
        row("line break in a directory name stays in the redirect", plain,
            "gemini://h/line%0D%0Abreak", "31 /line%0D%0Abreak/\r\n"),
        row("control bytes in a directory name are encoded", plain, "gemini://h/ctl%7F%01",
            "31 /ctl%7F%01/\r\n"),
        row("line break in a link's text stays in the redirect", plain, "gemini://h/forged",
            "30 x%0D%0A20 text/plain\r\n"),
        row("blank in a link's text stays a blank", plain, "gemini://h/blank",
            "30 new page.gmi\r\n"),
        row("other bytes in a link's text stay as they are", plain, "gemini://h/raw",
            "30 caf\xc3\xa9 100%?#\r\n"),
        row("FIFO as index without listing is not found", plain, "gemini://h/fifo-index/",
            not_found),
    };
    std::string listing = "=> .. ../\n";
    for (const auto &d : dir_names) {
        rows.push_back(row(std::string("redirect encodes ") + d.request, plain,
                           std::string("gemini://h/dirs/") + d.request,
                           std::string("31 /dirs/") + d.encoded + "/\r\n"));
        listing += std::string("=> ./") + d.encoded + "/ " + d.name + "/\n";
    }
    rows.push_back(row("listing links encoded as redirects", listed, "gemini://h/dirs/",
                       "20 text/gemini\r\n", listing));
    return rows;
}
const std::vector<Golden> odd = odd_rows();
GOLDEN_TABLE(OddFiles, odd);

} // namespace

namespace {

// A front end may hand over standard output as a file opened for appending,
// its own log say, which sendfile refuses: the copy loop sends the whole
// body after what the file held, and the log counts every byte.
TEST(CopyFallback, OutputOpenedForAppending) {
    harness::Tree tree(std::vector<Node>{{"large.bin", large}, {"out", "before\n"}});
    const int out = open(tree.at("out").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(out, 0) << strerror(errno);
    harness::Options o;
    o.stdout_fd = out;
    const auto r = harness::run({"-d", tree.dir()}, "gemini://h/large.bin\r\n", o);
    close(out);
    const std::string header = "20 application/octet-stream\r\n";
    const std::string got = harness::read_file(tree.at("out"));
    EXPECT_EQ(7 + header.size() + large.size(), got.size());
    EXPECT_TRUE(got == "before\n" + header + large) << "the file does not hold the whole answer";
    EXPECT_EQ(0, r.exit_code);
    if (harness::log_captured()) {
        ASSERT_EQ(1u, r.log.size());
        EXPECT_EQ(
            logline("gemini://h/large.bin", 20, static_cast<long>(header.size() + large.size()))
                .substr(4),
            r.log[0].text);
    }
}

} // namespace
