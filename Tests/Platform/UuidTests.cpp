#include "Platform/Uuid.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>

TEST(Uuid, VersionFourInUpperCaseTextAndFreshEachTime) {
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        std::string id = platform::uuidV4();
        ASSERT_EQ(id.size(), 36u);
        ASSERT_TRUE(std::regex_match(id, form)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 1000u);
}
