#include "PelKit/Config.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace pelkit;
namespace fs = std::filesystem;
using pelsupport::readText;
using pelsupport::TempDir;
using pelsupport::writeText;

namespace {

Url fileUrl(const fs::path& p) {
    return Url::fromFilePath(p.string());
}

TEST(OverridesReset, EmptiesTheStoreAndWritesTheEmptyDocumentByteForByte) {
    TempDir tmp;
    const fs::path path = tmp / "overrides.json";
    writeText(path,
              R"({"schemaVersion": 1, "apps": {"com.a": {"ignore": true}, "com.b": {"caskToken": "b"}}})");
    auto store = Overrides::load(fileUrl(path));
    ASSERT_EQ(store->count(), 2);

    store->reset();

    EXPECT_EQ(store->count(), 0);
    EXPECT_TRUE(store->ignoredEntries().empty());
    const std::string written = readText(path);
    EXPECT_EQ(written, R"({ "schemaVersion": 1, "apps": {} })");
    EXPECT_EQ(written.size(), 34u);
    EXPECT_EQ(Overrides::load(fileUrl(path))->file(), OverridesFile{});

    // The next change starts from the empty store: the old entries stay gone.
    store->setIgnore("com.c", "new");
    auto reloaded = Overrides::load(fileUrl(path));
    EXPECT_EQ(reloaded->count(), 1);
    EXPECT_FALSE(reloaded->entry("com.a"));
}

TEST(OverridesReset, AMissingFolderWritesNothingThrowsAndKeepsTheEntries) {
    TempDir tmp;
    Overrides store(OverridesFile{1, {{"com.a", OverrideEntry{}}}}, fileUrl(tmp / "state/overrides.json"));
    EXPECT_THROW(store.reset(), fs::filesystem_error);
    EXPECT_EQ(store.count(), 1) << "what is not saved is not forgotten either";
    EXPECT_TRUE(store.entry("com.a"));
    EXPECT_FALSE(fs::exists(tmp / "state"));
}

TEST(OverridesReset, AStoreWithoutFileOnlyEmpties) {
    Overrides store(OverridesFile{1, {{"com.a", OverrideEntry{}}}}, std::nullopt);
    store.reset();
    EXPECT_EQ(store.count(), 0);
}

} // namespace
