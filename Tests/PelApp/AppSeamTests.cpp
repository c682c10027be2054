#include "PelApp/Model/AppInfo.hpp"
#include "PelApp/Model/EngineApi.hpp"
#include "PelApp/Model/L10n.hpp"
#include "PelKit/Config.hpp"
#include "PelKit/Journal.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace {

TEST(L10n, KnownKeysAndTheKeyAsFallback) {
    EXPECT_EQ(pelapp::L10n::text("app.name"), "Pelloran");
    EXPECT_EQ(pelapp::L10n::text("toolbar.rescan"), "Rescan");
    EXPECT_EQ(pelapp::L10n::text("settings.no.such.key"), "settings.no.such.key");
    EXPECT_EQ(pelapp::L10n::text(""), "");
}

TEST(AppInfo, CurrentCarriesTheBuildsVersionsAndFolder) {
    const auto info = pelapp::AppInfo::current();
    ASSERT_TRUE(info.shortVersion && info.buildVersion);
    EXPECT_TRUE(std::regex_match(*info.shortVersion, std::regex(R"(\d+\.\d+\.\d+)"))) << *info.shortVersion;
    EXPECT_FALSE(info.buildVersion->empty());
    EXPECT_TRUE(std::filesystem::is_directory(info.bundlePath)) << info.bundlePath;
}

TEST(CoreEngineFactory, MakesTheEngineOnceOverTheStateFolder) {
    pelsupport::TempDir home("pel-app-home");
    pelkit::testing::ScopedHomeOverride scoped(home.path());
    const auto overridesFile = home / ".local/state/pel/overrides.json";

    pelapp::CoreEngineFactory broken;
    pelsupport::writeText(overridesFile, "{not json");
    EXPECT_ANY_THROW(broken.make());
    EXPECT_TRUE(std::filesystem::is_directory(home / ".local/state/pel/runs")) << "directories come first";

    pelsupport::writeText(
        overridesFile, R"({"schemaVersion": 1, "apps": {"com.x": {"ignore": true, "ignoreReason": "r"}}})");
    pelapp::EngineApi& engine = broken.make();
    EXPECT_EQ(&broken.make(), &engine) << "a second call keeps the engine";
    ASSERT_EQ(engine.overrides().ignoredEntries().size(), 1u);
    EXPECT_EQ(engine.overrides().ignoredEntries()[0].bundleID, "com.x");
    EXPECT_EQ(engine.journal().file().filePath().rfind((home / ".local/state/pel/runs").string(), 0), 0u);
}

TEST(CoreEngineFactory, ABuilderChoosesHowTheEngineIsMade) {
    pelsupport::TempDir home("pel-app-home");
    pelkit::testing::ScopedHomeOverride scoped(home.path());
    int built = 0;
    pelapp::CoreEngineFactory factory([&](pelkit::Overrides& overrides, pelkit::Journal& journal) {
        ++built;
        return std::make_unique<pelkit::Engine>(overrides, journal,
                                                std::vector<std::shared_ptr<pelkit::UpdateSource>>{});
    });
    factory.make();
    factory.make();
    EXPECT_EQ(built, 1);
}

} // namespace
