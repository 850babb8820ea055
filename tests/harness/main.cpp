#include "harness.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

// The binary under test is the build's own tolm unless `--tolm PATH` or the
// environment variable TOLM names another (the musl build, for one).
int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (const char *tolm = getenv("TOLM"); tolm != nullptr && tolm[0] != '\0')
        harness::set_binary(tolm);
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--tolm") == 0 && i + 1 < argc)
            harness::set_binary(argv[++i]);
        else
            harness::die("unknown argument %s (--tolm PATH, or gtest's --gtest_*)", argv[i]);
    }
    harness::capture_log();
    return RUN_ALL_TESTS();
}
