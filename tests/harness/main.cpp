#include "harness.h"

#include <gtest/gtest.h>

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    harness::capture_log();
    return RUN_ALL_TESTS();
}
