// Splitting a well-formed request line into host name, path and query.
#include "request.h"

#include <gtest/gtest.h>
#include <iterator>
#include <regex.h>
#include <string>

namespace {

struct Split {
    std::string line, host, path, query;
};

TEST(SplitRequest, Table) {
    const Split rows[] = {
        {"gemini://host/path?query", "host", "path", "query"},
        {"gemini://host", "host", "", ""},
        {"gemini://host:1965/a/b?x=1", "host", "a/b", "x=1"},
        {"gemini:///host/path", "host", "path", ""},
        {"gemini://host//a//b", "host", "a//b", ""},
        {"gemini://host:1965abc", "host", "abc", ""},
        {"gemini://host:abc/x", "host", "abc/x", ""},
        {"gemini://host?q", "host", "", "q"},
        {"gemini://host/?", "host", "", ""},
        {"gemini://host/a?b?c", "host", "a", "b?c"},
        {"gemini://", "", "", ""},
        {"gemini://[::1]:1965/p", "[", ":1965/p", ""},
        {"gemini://host|x/p", "host", "|x/p", ""},
        {"gemini://ho^st/p", "ho", "^st/p", ""},
        {"gemini://host]/p", "host]", "p", ""},
        {"gemini://host:12]3/p", "host", "3/p", ""},
        {"gemini://host/a:b", "host", "a:b", ""},
        {"gemini://host/path#frag", "host", "path#frag", ""},
        {"gemini://host/%2e%2e/x", "host", "%2e%2e/x", ""},
        {"gemini:////////host/x", "host", "x", ""},
        {"gemini://h\xc3\xa9/\xff\x80?\xfe", "h\xc3\xa9", "\xff\x80", "\xfe"},
        {"gemini://host/a b\tc", "host", "a b\tc", ""},
        {"gemini://host:/x", "host", "x", ""},
    };
    for (const auto &row : rows) {
        char host[1025] = {}, path[1025] = {}, query[1025] = {};
        tolm::split_request(row.line.c_str(), host, path, query);
        EXPECT_EQ(row.host, host) << row.line;
        EXPECT_EQ(row.path, path) << row.line;
        EXPECT_EQ(row.query, query) << row.line;
    }
}

} // namespace

namespace {

// The scanner must agree with the regular expression that defines the
// grammar, on every line: compare both on many generated lines.
constexpr const char pattern[] = "^gemini://+([^/|^?|^:]*)[:[0-9]*]?/*([^?]*)[?]?(.*)$";

std::string group(const std::string &line, regoff_t so, regoff_t eo) {
    return so == eo ? std::string()
                    : line.substr(static_cast<size_t>(so), static_cast<size_t>(eo - so));
}

TEST(MatchRequest, AgreesWithTheRegularExpression) {
    regex_t re;
    ASSERT_EQ(0, regcomp(&re, pattern, REG_EXTENDED));
    const std::string alphabet[] = {"/",    "/", "|", "^",  "?",      ":",   "[",   "]",
                                    "0",    "9", "a", "Z",  "%",      ".",   "-",   "\x80",
                                    "\xff", " ", "#", "\t", "gemini", "://", "1965"};
    const std::string prefixes[] = {"gemini://", "gemini://", "gemini:///", "gemini:/",
                                    "GEMINI://", "gemini:",   " gemini://", ""};
    unsigned seed = 12345;
    auto next = [&seed](unsigned n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    for (int i = 0; i < 200000; ++i) {
        std::string line = prefixes[next(std::size(prefixes))];
        for (unsigned len = next(24); len > 0; --len)
            line += alphabet[next(std::size(alphabet))];
        regmatch_t want[4];
        const bool matched = regexec(&re, line.c_str(), 4, want, 0) == 0;
        regmatch_t got[3];
        ASSERT_EQ(matched, tolm::match_request(line.c_str(), got)) << line;
        if (!matched)
            continue;
        for (int g = 0; g < 3; ++g)
            ASSERT_EQ(group(line, want[g + 1].rm_so, want[g + 1].rm_eo),
                      group(line, got[g].rm_so, got[g].rm_eo))
                << "group " << g + 1 << " of " << line;
    }
    regfree(&re);
}

} // namespace
