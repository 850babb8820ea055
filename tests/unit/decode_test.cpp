// Percent-decoding, "/.." stripping and the confinement below the root.
#include "paths.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct Decode {
    std::string in;
    std::string out; // the text up to its first NUL
    int replaced;
};

std::string decode(const std::string &in, int *replaced) {
    char buf[1025] = {};
    in.copy(buf, sizeof buf - 1);
    *replaced = tolm::uridecode(buf);
    return buf;
}

TEST(Uridecode, Table) {
    const Decode rows[] = {
        {"", "", 0},
        {"plain/path", "plain/path", 0},
        {"a+b?c+d", "a+b?c+d", 0}, // not form encoding: a plus is a plus
        {"%41", "A", 1},
        {"a%2fb%2Fc", "a/b/c", 2},
        {"%ff", "\xff", 1},
        {"%4z", "\x04", 1},
        {"%0x", "", 1},
        {"% 7", "\x07", 1},
        {"%+f", "\x0f", 1},
        {"%-1", "\xff", 1},
        {"%-f", "\xf1", 1},
        {"%zz", "", 1},
        {"%g1", "", 1},
        {"%%4", "", 1},
        {"%--", "", 1},
        {"%00after", "", 1},
        {"%00%41%42", "", 3}, // the scan goes on behind the cut
        {"%254a", "%4a", 1},  // a decoded "%" is never decoded again
        {"%%41", "", 1},
        {"end%", "end%", 0},
        {"end%4", "end%4", 0},
        {"%4", "%4", 0},
        {"a%2f%2e%2e%2fb", "a/../b", 4},
        {"%0d%0a", "\r\n", 2},
        {"x%20y", "x y", 1},
        {"%C3%A9", "\xc3\xa9", 2},
    };
    for (const auto &row : rows) {
        int replaced = 0;
        EXPECT_EQ(row.out, decode(row.in, &replaced)) << row.in;
        EXPECT_EQ(row.replaced, replaced) << row.in;
    }
}

std::string strip(const std::string &in) {
    char buf[1025] = {};
    in.copy(buf, sizeof buf - 1);
    tolm::remove_double_dot(buf);
    return buf;
}

TEST(RemoveDoubleDot, Table) {
    const std::pair<std::string, std::string> rows[] = {
        {"a/b/../c", "/c"},
        {"x/../../etc", "/etc"},
        {"docs/..hidden/f", "hidden/f"},
        {"a/...", "."},
        {"a/..", ""},
        {"../x", "../x"},
        {"../../x", "/x"},
        {"a/b/c", "a/b/c"},
        {"/..", ""},
        {"a/../b/../c", "/c"},
        {"..", ".."},
        {"", ""},
    };
    for (const auto &[in, out] : rows)
        EXPECT_EQ(out, strip(in)) << in;
}

std::string confine(const std::string &in) {
    char buf[1025] = {};
    in.copy(buf, sizeof buf - 1);
    tolm::remove_double_dot(buf);
    tolm::confine_path(buf);
    return buf;
}

// Stripping then confinement: the result is always relative to the root.
TEST(ConfinePath, Table) {
    const std::pair<std::string, std::string> rows[] = {
        {"a/b/../c", "c"}, {"/etc/passwd", "etc/passwd"},
        {"//etc", "etc"},  {"../x", "x"},
        {"../../x", "x"},  {"..", ""},
        {"../", ""},       {"..//../x", "x"},
        {"../..", ""},     {"...", "..."},
        {"..x", "..x"},    {"./x", "./x"},
        {"a/..", ""},      {"docs/", "docs/"},
        {"/", ""},
    };
    for (const auto &[in, out] : rows)
        EXPECT_EQ(out, confine(in)) << in;
}

} // namespace
