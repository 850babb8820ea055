// Generated listings of directories without an index file.
#include "golden.h"

namespace {

using harness::Golden;
using harness::logline;
using harness::Node;
using harness::with_reason;

const std::vector<Node> site = {
    {"root/index.gmi", "# home\n"},
    {"root/list/B.gmi", ""},
    {"root/list/a.gmi", ""},
    {"root/list/10.gmi", ""},
    {"root/list/9.gmi", ""},
    {"root/list/.hidden", ""},
    {"root/list/..x", ""},
    {"root/list/img/", ""},
    {"root/list/link-to-dir", "", "img"},
    {"root/list/my file", ""},
    {"root/list/100%", ""},
    {"root/list/what?", ""},
    {"root/list/#tag", ""},
    {"root/list/tab\tname", ""},
    {"root/list/caf\xc3\xa9", ""},
    {"root/list/del\x7f", ""},
    {"root/empty/", ""},
    {"root/docs/index.gmi", "# docs\n"},
    {"root/docs/other.gmi", ""},
    {"root/closed/", "", "", 0711},
    {"root/closed/a.gmi", ""},
    {"bare/a.txt", ""},
    {"bare/sub/", ""},
};

const std::string list_body = "=> .. ../\n"
                              "=> ./%23tag #tag\n"
                              "=> ./..x ..x\n"
                              "=> ./.hidden .hidden\n"
                              "=> ./10.gmi 10.gmi\n"
                              "=> ./100%25 100%\n"
                              "=> ./9.gmi 9.gmi\n"
                              "=> ./B.gmi B.gmi\n"
                              "=> ./a.gmi a.gmi\n"
                              "=> ./caf\xc3\xa9 caf\xc3\xa9\n"
                              "=> ./del%7F del%7F\n"
                              "=> ./img/ img/\n"
                              "=> ./link-to-dir link-to-dir\n"
                              "=> ./my%20file my file\n"
                              "=> ./tab%09name tab%09name\n"
                              "=> ./what%3F what?\n";

Golden row(std::string name, std::vector<std::string> args, const std::string &request,
           const std::string &header, const std::string &body = "", bool as_nobody = false) {
    return harness::answered(site, std::move(name), std::move(args), request, header, body,
                             as_nobody);
}

const std::vector<std::string> listing = {"-d", "{root}/root", "-i", "-l", "en"};

std::vector<Golden> rows() {
    return {
        row("sorted by bytes with escaped links", listing, "gemini://h/list/", "20 text/gemini\r\n",
            list_body),
        row("empty directory", listing, "gemini://h/empty/", "20 text/gemini\r\n", "=> .. ../\n"),
        row("index wins over listing", listing, "gemini://h/docs/", "20 text/gemini; lang=en\r\n",
            "# docs\n"),
        row("directory without slash still redirects", listing, "gemini://h/list", "31 /list/\r\n"),
        row("content root listed", {"-d", "{root}/bare", "-i"}, "gemini://h/", "20 text/gemini\r\n",
            "=> .. ../\n=> ./a.txt a.txt\n=> ./sub/ sub/\n"),
        with_reason(row("unreadable directory", listing, "gemini://h/closed/",
                        "50 Can't scan closed/\r\n", "", true),
                    "scandir(closed/): Permission denied"),
        with_reason(row("unreadable directory by encoded name", listing, "gemini://h/clo%73ed/",
                        "50 Can't scan closed/\r\n", "", true),
                    "scandir(closed/): Permission denied"),
        row("listing off", {"-d", "{root}/root"}, "gemini://h/list/", "51 file not found\r\n"),
    };
}
const std::vector<Golden> listing_rows = rows();
GOLDEN_TABLE(Listing, listing_rows);

// A listing many times larger than tolm's 8 KiB output buffer: every line
// that does not fit in what is left of it is formatted again after a flush.
std::string long_name(int i) {
    return std::to_string(100 + i) + "-" + std::string(196, static_cast<char>('a' + i % 26));
}
std::vector<Node> long_names_tree() {
    std::vector<Node> nodes;
    for (int i = 0; i < 300; ++i)
        nodes.push_back({"many/" + long_name(i), ""});
    return nodes;
}
const std::vector<Node> long_names = long_names_tree();
std::string long_listing() {
    std::string body = "=> .. ../\n";
    for (int i = 0; i < 300; ++i)
        body += "=> ./" + long_name(i) + " " + long_name(i) + "\n";
    return body;
}
const std::vector<Golden> long_rows = {
    harness::answered(long_names, "300 names of 200 bytes", {"-d", "{root}", "-i"},
                      "gemini://h/many/", "20 text/gemini\r\n", long_listing()),
};
GOLDEN_TABLE(LongListing, long_rows);

} // namespace
