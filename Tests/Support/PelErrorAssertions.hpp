#pragma once

#include "PelKit/Models.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

namespace pelsupport {

// The PelError `f` throws; a test failure (and a placeholder) when it throws none.
inline pelkit::PelError pelErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const pelkit::PelError& e) {
        return e;
    }
    ADD_FAILURE() << "no PelError thrown";
    return pelkit::PelError(pelkit::ErrorCode::INT_UNEXPECTED, std::nullopt, std::nullopt, "<none>", false);
}

// A library error: the code, message and bundle identifier given, no source, not fixable by overrides.
inline void expectError(const pelkit::PelError& e, pelkit::ErrorCode code,
                        const std::optional<std::string>& bundleID, const std::string& message) {
    EXPECT_EQ(pelkit::rawValue(e.code()), pelkit::rawValue(code)) << e.message();
    EXPECT_EQ(e.message(), message);
    EXPECT_EQ(e.bundleID(), bundleID);
    EXPECT_EQ(e.source(), std::nullopt);
    EXPECT_FALSE(e.overrideCanFix());
}

}  // namespace pelsupport
