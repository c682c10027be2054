#include "Tally/Runtime.hpp"

#include <gtest/gtest.h>

namespace {

// The first runtime of the test process is a test runtime: without it, the first use would install the
// host defaults, whose caches directory is the real home's.
class TallyTestEnvironment : public ::testing::Environment {
public:
    void SetUp() override { tally::testing::reset(); }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new TallyTestEnvironment);

} // namespace
