// Splitting a well-formed request line into host name, path and query.
#include "request.h"

#include <gtest/gtest.h>
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
