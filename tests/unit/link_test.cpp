// Escaping of file names in the link part of a listing line.
#include "content.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string encode(const std::string &name) {
    char out[3 * 255 + 1];
    tolm::encode_link(name.c_str(), out, sizeof out);
    return out;
}

TEST(EncodeLink, Table) {
    const std::pair<std::string, std::string> rows[] = {
        {"plain.gmi", "plain.gmi"},     {"my file", "my%20file"},    {"100%", "100%25"},
        {"a?b#c", "a%3Fb%23c"},         {"tab\there", "tab%09here"}, {"del\x7f", "del%7F"},
        {"caf\xc3\xa9", "caf\xc3\xa9"}, {"\x01\x1f", "%01%1F"},      {"a+b&c=d;e:f", "a+b&c=d;e:f"},
    };
    for (const auto &[name, link] : rows)
        EXPECT_EQ(link, encode(name)) << name;
}

TEST(EncodeLink, LongestNameFullyEscaped) {
    std::string name(255, ' ');
    std::string want;
    for (int i = 0; i < 255; ++i)
        want += "%20";
    EXPECT_EQ(want, encode(name));
}

} // namespace
