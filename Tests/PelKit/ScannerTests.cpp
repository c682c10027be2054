#include "PelKit/Scanner.hpp"

#include "PelKit/BundleReader.hpp"
#include "PelKit/Config.hpp"
#include "PelKit/DB.hpp"
#include "Support/BundleBuilder.hpp"
#include "Support/FakeBundleTools.hpp"
#include "Support/FakeTools.hpp"
#include "Support/PlistBytes.hpp"
#include "Support/SharedTestDB.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

namespace pelkit {
namespace {

namespace fs = std::filesystem;
using pelsupport::BundleBuilder;
using pelsupport::FakeBundleTools;
using pelsupport::FakeTools;
using pelsupport::SharedTestDB;
using pelsupport::TempDir;

Url urlOf(const fs::path& p) {
    return Url::fromFilePath(p.string());
}

std::map<std::string, std::string> reasonsByPath(const ScanResult& r) {
    std::map<std::string, std::string> out;
    for (const auto& s : r.skipped) {
        EXPECT_EQ(s.code, std::nullopt) << s.path.text();
        EXPECT_TRUE(out.emplace(s.path.filePath(), s.reason).second) << "skipped twice: " << s.path.text();
    }
    return out;
}

std::vector<std::string> paths(const std::vector<InstalledApp>& apps) {
    std::vector<std::string> out;
    for (const auto& a : apps)
        out.push_back(a.path.filePath());
    return out;
}

class ScannerTest : public ::testing::Test {
protected:
    TempDir dir{"pel-scan"};
    fs::path home = dir / "home";
    fs::path applications = dir / "Applications";
    fs::path userApplications = home / "Applications";
    fs::path systemApplications = dir / "System/Applications";
    testing::ScopedHomeOverride homeOverride{home};
    SharedTestDB db{dir / "pel.db"};
    FakeTools tools;
    FakeBundleTools fakes{tools};
    std::shared_ptr<Overrides> overrides = std::make_shared<Overrides>(OverridesFile{}, std::nullopt);

    std::vector<ScanRoot> roots() const {
        return {{urlOf(applications), false},
                {urlOf(userApplications), false},
                {urlOf(systemApplications), true}};
    }
    Scanner scanner() const { return Scanner(overrides, roots()); }

    void ignore(const std::string& bundleID, std::optional<std::string> reason) {
        OverridesFile file = overrides->file();
        file.apps[bundleID].ignore = true;
        file.apps[bundleID].ignoreReason = std::move(reason);
        overrides = std::make_shared<Overrides>(file, std::nullopt);
    }
};

TEST_F(ScannerTest, ThreeRootsWithEveryRuleThenAnUnchangedRescanRunsNoTool) {
    // Root 1.
    fs::path alpha = BundleBuilder("Alpha.app").build(applications);
    fs::path tool = BundleBuilder("Tool.app").build(applications / "Utilities");
    BundleBuilder("TooDeep.app").build(applications / "Deep/Inner");
    BundleBuilder("Hidden.app").build(applications / ".hidden");
    BundleBuilder(".Secret.app").build(applications);
    fs::path upper = applications / "Folder.APP";
    fs::path insideUpper = BundleBuilder("InsideUpper.app").build(upper);
    BundleBuilder("TooDeepInUpper.app").build(upper / "Sub");
    fs::path appleInApps = BundleBuilder("Safari.app").bundleID("com.apple.Safari").build(applications);
    fs::path ignored = BundleBuilder("Quiet.app").bundleID("com.example.quiet").build(applications);
    fs::path ignoredWhy = BundleBuilder("Noisy.app").bundleID("com.example.noisy").build(applications);
    fs::path broken = BundleBuilder("Broken.app").withoutInfoPlist().build(applications);
    fs::path host = BundleBuilder("Host.app")
                        .helper("Contents/Library/LoginItems", BundleBuilder("Helper.app"))
                        .helper("Contents/Helpers", BundleBuilder("Agent.app"))
                        .build(applications);
    fs::path dupFirst = BundleBuilder("Dup.app").bundleID("com.example.dup").build(applications);
    fs::path plainFile = applications / "Readme.txt";
    pelsupport::writeText(plainFile, "hello");
    // Root 2.
    fs::path dupSecond = BundleBuilder("DupCopy.app").bundleID("com.example.dup").build(userApplications);
    fs::path beta = BundleBuilder("Beta.app").build(userApplications);
    // An ignored copy does not hide a later copy of the same identifier.
    fs::path quietKept = BundleBuilder("QuietToo.app").bundleID("com.example.quiet2").build(userApplications);
    // Root 3: everything is Apple's own, whatever its identifier.
    fs::path calc = BundleBuilder("Calculator.app").bundleID("com.example.calc").build(systemApplications);

    ignore("com.example.quiet", std::nullopt);
    ignore("com.example.noisy", "too loud");
    ignore("com.example.quiet2", "second");
    fs::path ignoredLater =
        BundleBuilder("QuietLater.app").bundleID("com.example.quiet2").build(applications / "Utilities");
    // ignoredLater is in root 1 but ignored; quietKept in root 2 is ignored as well; both skipped.

    const ScanResult first = scanner().scan();

    const std::set<std::string> expectedApps = {alpha.string(), tool.string(),     insideUpper.string(),
                                                host.string(),  dupFirst.string(), beta.string()};
    const auto firstPaths = paths(first.apps);
    EXPECT_EQ(std::set<std::string>(firstPaths.begin(), firstPaths.end()), expectedApps);
    EXPECT_EQ(firstPaths.size(), expectedApps.size());
    // The roots come in order: the home folder's bundles follow those of the first root.
    EXPECT_EQ(firstPaths.back(), beta.string());

    const std::map<std::string, std::string> expectedSkips = {
        {appleInApps.string(), "Apple-owned (com.apple.Safari)"},
        {ignored.string(), "override ignore: overrides.json ignore=true"},
        {ignoredWhy.string(), "override ignore: too loud"},
        {ignoredLater.string(), "override ignore: second"},
        {quietKept.string(), "override ignore: second"},
        {broken.string(),
         "bundle read failed: no Info.plist at " + (broken / "Contents/Info.plist").string()},
        {calc.string(), "Apple-owned (com.example.calc)"},
    };
    EXPECT_EQ(reasonsByPath(first), expectedSkips);
    // The skipped system bundle comes last: roots are walked in order.
    EXPECT_EQ(first.skipped.back().path.filePath(), calc.string());

    const auto& dup = *std::find_if(first.apps.begin(), first.apps.end(),
                                    [](const InstalledApp& a) { return a.bundleID == "com.example.dup"; });
    EXPECT_EQ(dup.path.filePath(), dupFirst.string());
    EXPECT_EQ(dup.teamID, FakeBundleTools::defaultTeamID);
    EXPECT_EQ(dup.archs, (std::vector<std::string>{"x86_64", "arm64"}));

    // Every readable bundle ran codesign once (the broken one ran nothing).
    const int readable = 13;
    EXPECT_EQ(fakes.codesignCalls(), readable);

    tools.clearCalls();
    const ScanResult second = scanner().scan();
    EXPECT_EQ(fakes.toolCalls(), 0);
    EXPECT_EQ(paths(second.apps), firstPaths);
    EXPECT_EQ(second.apps, first.apps);
    EXPECT_EQ(reasonsByPath(second), expectedSkips);
}

TEST_F(ScannerTest, MissingRootsContributeNothing) {
    // No folder exists at all: no home Applications, no system root.
    ScanResult r = scanner().scan();
    EXPECT_TRUE(r.apps.empty());
    EXPECT_TRUE(r.skipped.empty());

    // A regular file where a root belongs is no folder either.
    pelsupport::writeText(applications, "not a folder");
    BundleBuilder("Beta.app").build(userApplications);
    r = scanner().scan();
    ASSERT_EQ(r.apps.size(), 1u);
    EXPECT_TRUE(r.skipped.empty());
}

TEST_F(ScannerTest, DefaultRootsAreTheApplicationFoldersWithTheHomeLookedUpEachScan) {
    auto defaults = Scanner::defaultRoots("/Users/someone");
    ASSERT_EQ(defaults.size(), 3u);
    EXPECT_EQ(defaults[0].url.filePath(), "/Applications");
    EXPECT_FALSE(defaults[0].isSystemRoot);
    EXPECT_EQ(defaults[1].url.filePath(), "/Users/someone/Applications");
    EXPECT_FALSE(defaults[1].isSystemRoot);
    EXPECT_EQ(defaults[2].url.filePath(), "/System/Applications");
    EXPECT_TRUE(defaults[2].isSystemRoot);

    EXPECT_EQ(Scanner::defaultRoots()[1].url.filePath(), userApplications.string());
}

TEST_F(ScannerTest, SymbolicLinkToAFolderIsWalked) {
    fs::path elsewhere = dir / "Elsewhere";
    fs::path linked = BundleBuilder("Linked.app").build(elsewhere);
    fs::create_directories(applications);
    fs::create_directory_symlink(elsewhere, applications / "Shortcut");
    ScanResult r = scanner().scan();
    ASSERT_EQ(r.apps.size(), 1u);
    EXPECT_EQ(r.apps[0].path.filePath(), (applications / "Shortcut/Linked.app").string());
    EXPECT_EQ(r.apps[0].bundleID, "com.example.linked");
    (void)linked;
}

TEST_F(ScannerTest, RootInsideABundleYieldsNestedHelpers) {
    fs::path host = BundleBuilder("Host.app")
                        .helper("Contents/Library/LoginItems", BundleBuilder("Helper.app"))
                        .build(dir.path());
    Scanner s(overrides, {{urlOf(host / "Contents/Library/LoginItems"), false}});
    ScanResult r = s.scan();
    EXPECT_TRUE(r.apps.empty());
    ASSERT_EQ(r.skipped.size(), 1u);
    EXPECT_EQ(r.skipped[0].path.filePath(), (host / "Contents/Library/LoginItems/Helper.app").string());
    EXPECT_EQ(r.skipped[0].reason, "nested helper inside another .app");
    EXPECT_EQ(fakes.toolCalls(), 0);
}

TEST_F(ScannerTest, UnparsableBundleIsSkippedWithThePlatformErrorAndReadAgainEveryScan) {
    fs::path bad = BundleBuilder("Bad.app").rawInfoPlist("<plist><dict><key>oops").build(applications);
    std::string message;
    try {
        BundleReader::read(urlOf(bad));
    } catch (const std::exception& e) {
        message = e.what();
    }
    ASSERT_FALSE(message.empty());
    for (int i = 0; i < 2; ++i) {
        ScanResult r = scanner().scan();
        ASSERT_EQ(r.skipped.size(), 1u);
        EXPECT_EQ(r.skipped[0].reason, "bundle read failed: " + message);
        EntryStamp st = entryStamp(bad.string());
        EXPECT_EQ(DB::shared().getApp(bad.string(), st.mtime, st.size), std::nullopt);
    }
    // Mended, it is read at the next scan.
    pelsupport::writeText(bad / "Contents/Info.plist", BundleBuilder("Bad.app").infoPlistBytes());
    ScanResult r = scanner().scan();
    EXPECT_EQ(r.apps.size(), 1u);
    EXPECT_TRUE(r.skipped.empty());
}

// The property-list library aborts on a NUL in a text or key: such a bundle must cost only itself.
TEST_F(ScannerTest, BundlesWithANulInTheirInfoPlistAreSkippedAndTheScanGoesOn) {
    using pelsupport::bytesText;
    const auto id = std::pair{bytesText("CFBundleIdentifier"), bytesText("com.example.nul")};
    fs::path text =
        BundleBuilder("Text.app")
            .rawInfoPlist(pelsupport::binaryTextDictionary(
                {id, {bytesText("NSHumanReadableCopyright"), pelsupport::utf16Text({u"a\0b", 3})}}))
            .build(applications);
    fs::path key =
        BundleBuilder("Key.app")
            .rawInfoPlist(pelsupport::binaryTextDictionary({id, {bytesText({"NS\0Key", 6}), bytesText("x")}}))
            .build(applications);
    fs::path xml =
        BundleBuilder("Xml.app")
            .rawInfoPlist(std::string("<plist><dict><key>CFBundleIdentifier</key><string>a\0</string>"
                                      "</dict></plist>",
                                      76))
            .build(applications);
    fs::path fine = BundleBuilder("Fine.app").build(applications);
    ScanResult r = scanner().scan();
    EXPECT_EQ(paths(r.apps), std::vector<std::string>{fine.string()});
    const std::string reason = "bundle read failed: property list text holds a NUL character";
    EXPECT_EQ(reasonsByPath(r),
              (std::map<std::string, std::string>{
                  {key.string(), reason}, {text.string(), reason}, {xml.string(), reason}}));
}

TEST_F(ScannerTest, CacheIsKeyedByTheBundleFoldersOwnStamp) {
    fs::path app = BundleBuilder("Editor.app").shortVersion("1.0").build(applications);
    pelsupport::setModificationTime(app, 1'700'000'000);
    ASSERT_EQ(scanner().scan().apps.at(0).shortVersion, "1.0");
    tools.clearCalls();

    // New contents under an unchanged folder stamp: served from the cache unchanged.
    pelsupport::writeText(app / "Contents/Info.plist",
                          BundleBuilder("Editor.app").shortVersion("2.0").infoPlistBytes());
    pelsupport::setModificationTime(app, 1'700'000'000);
    EXPECT_EQ(scanner().scan().apps.at(0).shortVersion, "1.0");
    EXPECT_EQ(fakes.toolCalls(), 0);

    // A new folder stamp reads the bundle again and replaces its row.
    pelsupport::setModificationTime(app, 1'700'000'100);
    ScanResult r = scanner().scan();
    EXPECT_EQ(r.apps.at(0).shortVersion, "2.0");
    EXPECT_EQ(fakes.codesignCalls(), 1);
    EntryStamp st = entryStamp(app.string());
    auto row = DB::shared().getApp(app.string(), st.mtime, st.size);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->shortVersion, "2.0");
}

TEST_F(ScannerTest, CachedRecordIsJudgedByItsIdentifierAndTheCurrentOverrides) {
    fs::path app = BundleBuilder("Editor.app").bundleID("com.example.editor").build(applications);
    ASSERT_EQ(scanner().scan().apps.size(), 1u);

    ignore("com.example.editor", "later");
    ScanResult r = scanner().scan();
    EXPECT_TRUE(r.apps.empty());
    ASSERT_EQ(r.skipped.size(), 1u);
    EXPECT_EQ(r.skipped[0].reason, "override ignore: later");

    // An entry whose ignore is false changes nothing.
    OverridesFile file;
    file.apps["com.example.editor"].ignore = false;
    file.apps["com.example.editor"].ignoreReason = "stale";
    overrides = std::make_shared<Overrides>(file, std::nullopt);
    EXPECT_EQ(scanner().scan().apps.size(), 1u);

    // A cached row with an Apple identifier but isAppleOwned false is still Apple's own.
    EntryStamp st = entryStamp(app.string());
    InstalledApp forged = *DB::shared().getApp(app.string(), st.mtime, st.size);
    forged.bundleID = "com.apple.Forged";
    forged.isAppleOwned = false;
    DB::shared().setApp(forged, st.mtime, st.size);
    r = scanner().scan();
    EXPECT_TRUE(r.apps.empty());
    ASSERT_EQ(r.skipped.size(), 1u);
    EXPECT_EQ(r.skipped[0].reason, "Apple-owned (com.apple.Forged)");
}

TEST_F(ScannerTest, AnIgnoreWhoseWriteFailedSkipsNothing) {
    fs::path app = BundleBuilder("Editor.app").bundleID("com.example.editor").build(applications);
    // A folder where the overrides file should be: the write fails, also as root.
    fs::create_directories(dir / "state/overrides.json");
    overrides = std::make_shared<Overrides>(OverridesFile{}, urlOf(dir / "state/overrides.json"));
    EXPECT_THROW(overrides->setIgnore("com.example.editor", "too noisy"), fs::filesystem_error);

    const ScanResult r = scanner().scan();
    EXPECT_EQ(paths(r.apps), std::vector<std::string>{app.string()});
    EXPECT_TRUE(r.skipped.empty());
}

TEST_F(ScannerTest, FirstBundleInListingOrderWinsWithinARoot) {
    BundleBuilder("One.app").bundleID("com.example.same").build(applications);
    BundleBuilder("Two.app").bundleID("com.example.same").build(applications);
    std::vector<std::string> listing;
    for (const auto& e : fs::directory_iterator(applications))
        listing.push_back(e.path().string());
    ScanResult r = scanner().scan();
    ASSERT_EQ(r.apps.size(), 1u);
    EXPECT_EQ(r.apps[0].path.filePath(), listing.at(0));
    EXPECT_TRUE(r.skipped.empty());
}

} // namespace
} // namespace pelkit
