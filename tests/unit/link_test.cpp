// Escaping of file names in the link part of a listing line, and of control
// bytes in labels and redirect targets.
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

std::string controls(const std::string &text) {
    char out[3 * 1024 + 1];
    tolm::encode_controls(text.c_str(), out, sizeof out);
    return out;
}

// Only what could end or split a line changes; a target stays a target.
TEST(EncodeControls, Table) {
    const std::pair<std::string, std::string> rows[] = {
        {"/docs/", "/docs/"},
        {"x\r\n20 text/plain", "x%0D%0A20 text/plain"},
        {"new page.gmi", "new page.gmi"},
        {"100%?#", "100%?#"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"\x01\x1f\x7f\x20", "%01%1F%7F "},
        {"gemini://h/a?b=c d", "gemini://h/a?b=c d"},
    };
    for (const auto &[text, encoded] : rows)
        EXPECT_EQ(encoded, controls(text)) << text;
}

TEST(EncodeControls, LongestTargetFullyEscaped) {
    std::string want;
    for (int i = 0; i < 1023; ++i)
        want += "%0A";
    EXPECT_EQ(want, controls(std::string(1023, '\n')));
}

} // namespace
