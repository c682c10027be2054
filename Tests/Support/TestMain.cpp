#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    // Test traffic stays on loopback even where a proxy is configured for the machine.
    ::setenv("NO_PROXY", "127.0.0.1,localhost,::1", 1);
    ::setenv("no_proxy", "127.0.0.1,localhost,::1", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
