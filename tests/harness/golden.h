// One row of a golden table: a fixture tree, the command line, the request
// bytes, and everything the run must leave behind, byte for byte.
#pragma once

#include "harness.h"

#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

namespace harness {

struct Golden {
    std::string name;
    const std::vector<Node> *tree = nullptr; // shared by the rows of a table
    std::vector<std::string> args;           // "{root}" stands for the fixture's directory
    std::string input;
    std::string out;
    int exit_code = 0;
    std::vector<std::string> log; // "<30>..." request line, "<11>..." detail
    std::string err;
    bool as_nobody = false;
    std::vector<std::string> env; // the run's whole environment; empty: PATH only
};

inline std::ostream &operator<<(std::ostream &os, const Golden &g) {
    return os << g.name;
}

// Replaces every "{root}" in text.
std::string with_root(std::string text, const std::string &root);

// The request log line as the program writes it: "<30>\"request\" code bytes".
std::string logline(const std::string &request, int code, long bytes);
// The same with the byte count of the row's expected output, "{root}" filled in.
std::string logline_out(const std::string &request, int code);
std::string detail(const std::string &text); // "<11>" + text

// A row answered normally: the request line, then this header and body,
// and one request log line with the code and the bytes written.
Golden answered(const std::vector<Node> &tree, std::string name, std::vector<std::string> args,
                const std::string &request, const std::string &header, const std::string &body = "",
                bool as_nobody = false);

// A row that ends in failure: the header alone, the request log line with
// `logged` as the request, the detail in the log and on standard error,
// where it ends in a line feed.
Golden refused(const std::vector<Node> &tree, std::string name, std::vector<std::string> args,
               std::string input, const std::string &logged, int code, const std::string &meta,
               const std::string &detail_text, bool as_nobody = false);

// The row with one more detail line after the run's own: the system's
// reason beside a fixed detail, logged at err and, where the row's
// detail goes to standard error, written there too.
Golden with_reason(Golden g, const std::string &reason);

// Builds the row's tree, runs it and compares every output.
void check(const Golden &g);
void expect_output(const Result &r, const Golden &g, const std::string &root);

// Test names from row names: gtest allows only letters, digits and "_".
std::string test_name(const std::string &name);

} // namespace harness

#define GOLDEN_TABLE(suite, rows)                                                                  \
    class suite : public ::testing::TestWithParam<::harness::Golden> {};                           \
    TEST_P(suite, Run) {                                                                           \
        ::harness::check(GetParam());                                                              \
    }                                                                                              \
    INSTANTIATE_TEST_SUITE_P(Rows, suite, ::testing::ValuesIn(rows),                               \
                             [](const ::testing::TestParamInfo<::harness::Golden> &row_info) {     \
                                 return ::harness::test_name(row_info.param.name);                 \
                             })
