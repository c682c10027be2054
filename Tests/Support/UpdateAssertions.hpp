#pragma once

// Assertions over a whole update run by UpdateFixture.

#include "Support/UpdateFixture.hpp"

#include <gtest/gtest.h>

namespace pelsupport {

// The update failed with `code`, journalled once with that error, reported once, and left no work
// directory behind.
inline void expectOneFailure(UpdateFixture& fx, const UpdateRun& run, pelkit::ErrorCode code) {
    ASSERT_TRUE(run.pelError());
    EXPECT_EQ(run.pelError()->code(), code) << run.pelError()->message();
    const auto results = fx.events("install_result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["code"], pelkit::rawValue(code));
    EXPECT_EQ(results[0]["message"], run.pelError()->message());
    EXPECT_EQ(fx.telemetry->reports().size(), 1u);
    EXPECT_TRUE(fx.workDirs().empty());
}

} // namespace pelsupport
