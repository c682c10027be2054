#include "PelKit/Installer.hpp"

#include "PelKit/Config.hpp"
#include "PelKit/Downloads.hpp"
#include "PelKit/Proc.hpp"
#include "PelKit/ScriptQuoting.hpp"
#include "Platform/FileOps.hpp"
#include "Support/PelErrorAssertions.hpp"
#include "Support/FakeDiskTools.hpp"
#include "Support/FakeInstallTools.hpp"
#include "Support/FakeReplaceTools.hpp"
#include "Support/FakeTools.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <unistd.h>

using namespace pelkit;
using pelsupport::FakeReply;
using pelsupport::FakeRule;
using pelsupport::FakeTools;
using pelsupport::readText;
using pelsupport::TempDir;
using pelsupport::writeText;
using platform::FileOps;
namespace fs = std::filesystem;

namespace {

const std::string kNotWritable = "macOS App Management permission required. Open System Settings > Privacy & "
                                 "Security > App Management and enable Pelloran, then rescan and retry.";

// An Info.plist with this short version (none: without the key).
std::string infoPlist(const std::optional<std::string>& shortVersion) {
    if (!shortVersion) return "<plist version=\"1.0\"><dict/></plist>\n";
    return "<plist version=\"1.0\"><dict><key>CFBundleShortVersionString</key><string>" + *shortVersion +
           "</string></dict></plist>\n";
}

// A bundle whose Contents/marker says which copy it is.
fs::path makeBundle(const fs::path& bundle, const std::string& marker,
                    const std::optional<std::string>& shortVersion = "1.0") {
    writeText(bundle / "Contents/Info.plist", infoPlist(shortVersion));
    writeText(bundle / "Contents/MacOS/Example", "#!/bin/sh\n");
    writeText(bundle / "Contents/marker", marker);
    return bundle;
}

std::string markerOf(const fs::path& bundle) {
    return readText(bundle / "Contents/marker");
}

Url fileUrl(const fs::path& p) {
    return Url::fromFilePath(p.string());
}

bool present(const fs::path& p) {
    std::error_code ec;
    return fs::symlink_status(p, ec).type() != fs::file_type::not_found;
}

bool isEmptyFolder(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(p, ec) && fs::is_empty(p, ec);
}

using pelsupport::pelErrorOf;
using pelsupport::expectError;

// Runs a test body with this folder as the working directory (for canaries that write "here").
class ScopedWorkingDirectory {
public:
    explicit ScopedWorkingDirectory(const fs::path& dir) : previous_(fs::current_path()) {
        fs::current_path(dir);
    }
    ~ScopedWorkingDirectory() { fs::current_path(previous_); }

private:
    fs::path previous_;
};

class Replace : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(home);
        fs::create_directories(tmp);
        homeGuard = std::make_unique<pelkit::testing::ScopedHomeOverride>(home);
        useApplicationsFolder(root / "Applications");
        fresh = makeBundle(root / "work/Example-2.0.app", "new");

        pelsupport::installFakeDitto(tools);
        pelsupport::installFakeXattr(tools);
        pelsupport::installFakeMdls(tools);
        pelsupport::installReplaceOsascript(tools);
        pelsupport::installVerifyingCodesign(tools);
    }

    // The promise above all: whatever happened, the previous bundle is at the installed path or in a
    // named backup (the swap backup or the backup copy).
    void TearDown() override {
        if (installed.empty()) return;
        const bool kept = markerOf(installed) == "old" || markerOf(swapBackup()) == "old" ||
                          anyBackupCopySays("old") || !previousMustSurvive;
        EXPECT_TRUE(kept) << "the previous bundle is gone";
    }

    void useApplicationsFolder(const fs::path& folder) {
        apps = folder;
        installed = makeBundle(apps / "Example.app", "old");
        app = InstalledApp{};
        app.path = fileUrl(installed);
        app.bundleID = "com.example.app";
        app.name = "Example";
        app.shortVersion = "1.0";
    }

    fs::path backupDir() const { return fs::path(PelPaths::backupDir().filePath()); }
    fs::path backupCopy() const { return fs::path(Installer::backupCopyURL(app).filePath()); }
    bool anyBackupCopySays(const std::string& marker) const {
        std::error_code ec;
        for (fs::recursive_directory_iterator it(backupDir(), ec), end; !ec && it != end; it.increment(ec)) {
            if (it->path().filename() == "Example.app" && markerOf(it->path()) == marker) return true;
        }
        return false;
    }
    // A failing ditto for the backup copy only (the one call that copies the installed bundle).
    FakeRule backupCopyFails(const std::string& error) const {
        return FakeRule().whenArgsInclude({installed.string()}).then(FakeReply().withStatus(1).withErr(error));
    }
    fs::path swapBackup() const { return apps / "Example.app.backup"; }
    fs::path staging() const { return apps / ".pel-staging"; }

    Installer::ReplaceSeams seams(bool writable = true) {
        Installer::ReplaceSeams s;
        s.isWritable = [writable](const std::string&) { return writable; };
        s.fileOps = ops.get();
        s.temporaryDirectory = tmp;
        return s;
    }

    void failFileOps(FileOps::FaultHook hook) { ops = std::make_unique<FileOps>(std::move(hook)); }

    InstallResult install(bool writable = true) {
        return Installer::install(app, fileUrl(fresh), InstallOptions(false), nullptr, seams(writable));
    }

    std::vector<std::string> verifyCall() const {
        return {"--verify", "--deep", "--strict", installed.string()};
    }

    TempDir root{"pel-replace"};
    fs::path home = root / "home";
    fs::path tmp = root / "tmp";
    fs::path apps;
    fs::path installed;
    fs::path fresh;
    InstalledApp app;
    FakeTools tools;
    std::unique_ptr<FileOps> ops = std::make_unique<FileOps>();
    std::unique_ptr<pelkit::testing::ScopedHomeOverride> homeGuard;
    bool previousMustSurvive = true;
};

} // namespace

// ---- User path ----

TEST_F(Replace, NewBundleOfAnotherNameLandsUnderTheInstalledNameWithABackupCopy) {
    writeText(installed / "Contents/only-old", "x");
    auto result = install();

    EXPECT_TRUE(result.success());
    EXPECT_EQ(result.message(), "installed Example");
    EXPECT_EQ(result.backupURL(), fileUrl(backupDir() / "com.example.app/1.0/Example.app"));
    EXPECT_EQ(markerOf(installed), "new");
    EXPECT_FALSE(present(installed / "Contents/only-old"));
    EXPECT_FALSE(present(apps / "Example-2.0.app"));
    EXPECT_EQ(markerOf(backupCopy()), "old");
    EXPECT_EQ(pelsupport::modeOf(backupDir() / "com.example.app"), 0700);
    EXPECT_EQ(pelsupport::modeOf(backupDir() / "com.example.app/1.0"), 0700);
    EXPECT_EQ(pelsupport::modeOf(staging()), 0700);
    EXPECT_TRUE(isEmptyFolder(staging()));
    EXPECT_FALSE(present(swapBackup()));

    ASSERT_EQ(tools.callCount("xattr"), 1);
    EXPECT_EQ(tools.calls("xattr")[0].args,
              (std::vector<std::string>{"-drs", "com.apple.quarantine", fresh.string()}));
    ASSERT_EQ(tools.callCount("codesign"), 1);
    EXPECT_EQ(tools.calls("codesign")[0].args, verifyCall());
    // The displaced copy is still beside the bundle while the check runs, and gone after a pass.
    EXPECT_EQ(pelsupport::swapBackupSeenDuringVerify(tools), std::vector<bool>{true});
    EXPECT_EQ(tools.callCount("osascript"), 0); // no comment to restore
}

TEST_F(Replace, BackupsGoByInstalledVersionOrUnknownAndReplaceOnlyTheirOwnVersion) {
    // 1.0 is replaced twice: the second backup of 1.0 replaces the first, whole.
    writeText(installed / "Contents/only-first", "x");
    install();
    fs::path v1 = backupDir() / "com.example.app/1.0/Example.app";
    EXPECT_EQ(markerOf(v1), "old");

    makeBundle(fresh, "newer", "2.0");
    fs::remove(installed / "Contents/marker");
    writeText(installed / "Contents/marker", "second");
    install();
    EXPECT_EQ(markerOf(v1), "second");
    EXPECT_FALSE(present(v1 / "Contents/only-first"));

    // Another version gets its own folder and leaves 1.0 alone; no version at all is "unknown". The
    // version is the installed bundle's own, whatever the record still says.
    install();
    EXPECT_EQ(markerOf(backupDir() / "com.example.app/2.0/Example.app"), "newer");
    writeText(installed / "Contents/Info.plist", infoPlist(std::nullopt));
    auto result = install();
    EXPECT_EQ(result.backupURL(), fileUrl(backupDir() / "com.example.app/unknown/Example.app"));
    EXPECT_TRUE(present(backupDir() / "com.example.app/unknown/Example.app/Contents"));
    EXPECT_EQ(markerOf(v1), "second");
    previousMustSurvive = false; // "old" was replaced on purpose by later runs
}

TEST_F(Replace, BackupComponentsFromTheBundleStayInsideTheBackupsFolder) {
    struct Case {
        std::string bundleID;
        std::optional<std::string> version;
    };
    const std::vector<Case> cases = {
        {"a/b", "../../x"}, {"com.example.app", "../../x"}, {"..", "1.0"},
        {"", ""},           {"com.example.app", "."},       {"com.example.app", "/abs"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bundleID + " / " + c.version.value_or("-"));
        app.bundleID = c.bundleID;
        writeText(installed / "Contents/Info.plist", infoPlist(c.version));
        // A sentinel where the raw components point must survive.
        fs::path raw = fs::path(backupDir().string() + "/" + c.bundleID + "/" +
                                c.version.value_or("unknown") + "/Example.app")
                           .lexically_normal();
        writeText(raw / "sentinel", "keep");

        const fs::path backup = backupCopy(); // from the bundle about to be replaced
        install();
        auto rel = backup.lexically_normal().lexically_relative(backupDir());
        EXPECT_FALSE(rel.empty());
        EXPECT_NE(*rel.begin(), "..");
        EXPECT_EQ(std::distance(rel.begin(), rel.end()), 3) << backup; // <bundle>/<version>/<name>
        EXPECT_EQ(readText(raw / "sentinel"), "keep") << raw;
        EXPECT_EQ(markerOf(backup), "old");
        for (const auto& part : rel)
            EXPECT_TRUE(part != "." && part != ".." && !part.empty()) << backup;

        makeBundle(installed, "old"); // the next case replaces the old bundle again
    }
    writeText(installed / "Contents/Info.plist", infoPlist("/abs"));
    EXPECT_EQ(backupCopy(),
              backupDir() / DownloadCache::sanitizedComponent("com.example.app") / "_abs" / "Example.app");
}

TEST_F(Replace, TwoUpdatesWithTheSameStaleRecordKeepTheGenuineCopyUnderItsVersion) {
    // The record says 1.0 until the next scan; the second update finds 2.0 installed.
    makeBundle(fresh, "new", "2.0");
    install();
    const fs::path newest = makeBundle(root / "work/Example-3.0.app", "newest", "3.0");
    auto result = Installer::install(app, fileUrl(newest), InstallOptions(false), nullptr, seams());

    EXPECT_EQ(markerOf(installed), "newest");
    EXPECT_EQ(markerOf(backupDir() / "com.example.app/1.0/Example.app"), "old");
    EXPECT_EQ(markerOf(backupDir() / "com.example.app/2.0/Example.app"), "new");
    EXPECT_EQ(result.backupURL(), fileUrl(backupDir() / "com.example.app/2.0/Example.app"));

    // A bundle whose Info.plist cannot be read is filed under the record's version.
    writeText(installed / "Contents/Info.plist", "not a property list");
    app.shortVersion = "3.0";
    EXPECT_EQ(backupCopy(), backupDir() / "com.example.app/3.0/Example.app");
}

TEST_F(Replace, AFailedBackupCopyLeavesTheEarlierCopyOfThatVersionWhole) {
    const fs::path earlier = makeBundle(backupDir() / "com.example.app/1.0/Example.app", "earlier");
    // The copy dies half-way: it has written part of the bundle.
    pelsupport::installFakeDitto(
        tools, {FakeRule().whenArgsInclude({installed.string()}).then(FakeReply().withStatus(1).withShell(
                   "mkdir -p \"$2/Contents\" && echo partial > \"$2/Contents/marker\"; "
                   "echo 'ditto: No space left on device' >&2; exit 1"))});
    auto onlyTheEarlierCopy = [&] {
        EXPECT_EQ(markerOf(earlier), "earlier");
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(earlier.parent_path()))
            names.push_back(entry.path().filename().string());
        EXPECT_EQ(names, std::vector<std::string>{"Example.app"}); // no half copy left either
    };

    EXPECT_EQ(install().backupURL(), fileUrl(swapBackup())); // the user path goes on without one
    onlyTheEarlierCopy();

    makeBundle(installed, "old");
    expectError(pelErrorOf([&] { install(false); }), ErrorCode::INT_UNEXPECTED, "com.example.app",
                "backup copy failed; admin install not attempted: ditto: No space left on device");
    onlyTheEarlierCopy();
}

TEST_F(Replace, ADryRunRunsNoToolAndChangesNothing) {
    auto result = Installer::install(app, fileUrl(fresh), InstallOptions(true), nullptr, seams(false));
    EXPECT_TRUE(result.success());
    EXPECT_EQ(result.message(), "dry-run: would replace " + installed.string());
    EXPECT_EQ(result.backupURL(), std::nullopt);
    EXPECT_TRUE(tools.calls().empty());
    EXPECT_EQ(markerOf(installed), "old");
    EXPECT_FALSE(present(staging()));
    EXPECT_FALSE(present(backupDir()));
    EXPECT_TRUE(fs::is_empty(tmp));
}

TEST_F(Replace, StagingFailuresLeaveTheInstalledBundleUntouched) {
    {
        SCOPED_TRACE("copy fails");
        pelsupport::installFakeDitto(tools,
                                     {FakeRule()
                                          .whenArgsInclude({(staging() / "Example.app").string()})
                                          .then(FakeReply().withStatus(1).withErr("ditto: no space\n"))});
        expectError(pelErrorOf([&] { install(); }), ErrorCode::INT_UNEXPECTED, std::nullopt,
                    "stage copy failed: ditto: no space\n");
        EXPECT_EQ(markerOf(installed), "old");
        EXPECT_EQ(tools.callCount("codesign"), 0);
    }
    {
        SCOPED_TRACE("no ditto");
        tools.remove("ditto");
        expectError(pelErrorOf([&] { install(); }), ErrorCode::INT_UNEXPECTED, std::nullopt,
                    "ditto not found");
        EXPECT_EQ(markerOf(installed), "old");
    }
}

TEST_F(Replace, AFailedBackupCopyKeepsTheSwapBackupAsThePreviousCopy) {
    pelsupport::installFakeDitto(tools, {backupCopyFails("ditto: refused\n")});
    auto result = install();
    EXPECT_EQ(result.message(), "installed Example");
    EXPECT_EQ(markerOf(installed), "new");
    EXPECT_EQ(markerOf(swapBackup()), "old");
    EXPECT_EQ(result.backupURL(), fileUrl(swapBackup()));
}

TEST_F(Replace, AStaleStagedCopyAndSwapBackupFromAnEarlierRunAreReplaced) {
    makeBundle(staging() / "Example.app", "stale");
    writeText(staging() / "Example.app/Contents/stale-only", "x");
    makeBundle(swapBackup(), "stale backup");
    install();
    EXPECT_EQ(markerOf(installed), "new");
    EXPECT_FALSE(present(installed / "Contents/stale-only"));
    EXPECT_TRUE(isEmptyFolder(staging()));
    EXPECT_FALSE(present(swapBackup()));
}

TEST_F(Replace, EachToolRunsInItsOrderWithItsOwnTimeOut) {
    using Runs = std::vector<std::pair<std::string, double>>;
    struct Case {
        std::string what;
        bool writable;
        Runs expected; // tool and the time-out it asked for, in call order
    };
    const std::vector<Case> cases = {
        {"user path",
         true,
         {{"xattr", 30}, {"mdls", 10}, {"ditto", 300}, {"ditto", 300}, {"codesign", 300}, {"osascript", 10}}},
        {"administrator path",
         false,
         {{"ditto", 300}, {"xattr", 30}, {"ditto", 300}, {"osascript", 300}, {"codesign", 300}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        makeBundle(installed, "old");
        pelsupport::setFinderComment(tools, installed.string(), "Keep me");
        Runs runs;
        pelkit::testing::ScopedToolTimeout record([&runs](const std::string& path, double requested) {
            runs.emplace_back(fs::path(path).filename().string(), requested);
            return requested;
        });
        install(c.writable);
        EXPECT_EQ(runs, c.expected);
    }
}

// ---- Post-swap check ----

TEST_F(Replace, AFailingCheckRestoresThePreviousBundle) {
    pelsupport::installVerifyingCodesign(tools,
                                         FakeReply().withStatus(1).withErr("a sealed resource is missing\n"));
    expectError(pelErrorOf([&] { install(); }), ErrorCode::SEC_SIGNATURE_INVALID, "com.example.app",
                "post-install codesign failed; rolled back");
    EXPECT_EQ(markerOf(installed), "old");
    EXPECT_FALSE(present(swapBackup()));
    EXPECT_TRUE(isEmptyFolder(staging()));
    EXPECT_EQ(markerOf(backupCopy()), "old");
    EXPECT_EQ(pelsupport::swapBackupSeenDuringVerify(tools), std::vector<bool>{true});
}

TEST_F(Replace, NoCodesignMeansTheSwapIsAccepted) {
    tools.remove("codesign");
    auto result = install();
    EXPECT_EQ(result.message(), "installed Example");
    EXPECT_EQ(markerOf(installed), "new");
    EXPECT_FALSE(present(swapBackup()));
}

TEST_F(Replace, ACheckThatTimesOutIsThrownUnchangedAndLeavesTheSwapBackup) {
    pelsupport::installVerifyingCodesign(tools, FakeReply().withDelay(5));
    pelkit::testing::ScopedToolTimeout fast(pelsupport::shortTimeOutFor("codesign", 0.3));
    auto e = pelErrorOf([&] { install(); });
    EXPECT_EQ(rawValue(e.code()), rawValue(ErrorCode::INT_UNEXPECTED));
    EXPECT_EQ(e.message(), tools.path("codesign") + " timeout after 300s");
    EXPECT_EQ(markerOf(installed), "new");
    EXPECT_EQ(markerOf(swapBackup()), "old");
}

TEST_F(Replace, ARollbackThatCannotExchangeSaysSoAndKeepsBothCopies) {
    pelsupport::installVerifyingCodesign(tools, FakeReply().withStatus(1));
    failFileOps(FileOps::failNthOf(FileOps::Op::exchange, 2, EIO));
    auto e = pelErrorOf([&] { install(); });
    EXPECT_EQ(rawValue(e.code()), rawValue(ErrorCode::SEC_SIGNATURE_INVALID));
    EXPECT_EQ(e.bundleID(), "com.example.app");
    const std::string prefix = "post-install codesign failed; rollback failed: ";
    const std::string suffix = "; previous copy kept at " + swapBackup().string();
    EXPECT_TRUE(e.message().starts_with(prefix)) << e.message();
    EXPECT_TRUE(e.message().ends_with(suffix)) << e.message();
    EXPECT_NE(e.message().find(std::strerror(EIO)), std::string::npos) << e.message();
    EXPECT_EQ(markerOf(swapBackup()), "old");
    EXPECT_EQ(markerOf(backupCopy()), "old");
    EXPECT_EQ(markerOf(installed), "new");
}

TEST_F(Replace, WithoutExchangeBothSwapAndRollbackUseRenames) {
    failFileOps(FileOps::failOnPath(FileOps::Op::exchange, installed, EINVAL));
    pelsupport::installVerifyingCodesign(tools, FakeReply().withStatus(1));
    expectError(pelErrorOf([&] { install(); }), ErrorCode::SEC_SIGNATURE_INVALID, "com.example.app",
                "post-install codesign failed; rolled back");
    EXPECT_EQ(markerOf(installed), "old");
    EXPECT_FALSE(present(swapBackup()));
    EXPECT_TRUE(isEmptyFolder(staging()));
    EXPECT_EQ(pelsupport::swapBackupSeenDuringVerify(tools), std::vector<bool>{true});
}

// ---- Swap faults ----

TEST_F(Replace, ARefusedSwapIsNotWritableAndLeavesEveryCopy) {
    for (int err : {EPERM, EACCES}) {
        SCOPED_TRACE(err);
        failFileOps(FileOps::failNthOf(FileOps::Op::exchange, 1, err));
        expectError(pelErrorOf([&] { install(); }), ErrorCode::ENV_NOT_WRITABLE, "com.example.app",
                    kNotWritable);
        EXPECT_EQ(markerOf(installed), "old");
        EXPECT_EQ(markerOf(staging() / "Example.app"), "new");
        EXPECT_EQ(markerOf(backupCopy()), "old");
        EXPECT_EQ(tools.callCount("codesign"), 0);
    }
}

TEST_F(Replace, OtherSwapFailuresAreReportedWithTheSystemText) {
    struct Case {
        const char* name;
        std::function<FileOps::FaultHook()> hook;
        int err;
    };
    const std::vector<Case> cases = {
        {"exchange across devices", [] { return FileOps::failNthOf(FileOps::Op::exchange, 1, EXDEV); },
         EXDEV},
        {"old swap backup cannot go", [] { return FileOps::failNthOf(FileOps::Op::remove, 1, EBUSY); },
         EBUSY},
        // The displaced copy cannot take its name: the exchange is undone.
        {"displaced copy not renamed", [] { return FileOps::failNthOf(FileOps::Op::rename, 1, EIO); }, EIO},
        // No exchange on this file system, and the second rename fails: the first is undone.
        {"fallback second rename",
         [this] {
             return FileOps::anyOf({FileOps::failOnPath(FileOps::Op::exchange, installed, EINVAL),
                                    FileOps::failNthOf(FileOps::Op::rename, 2, EIO)});
         },
         EIO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        failFileOps(c.hook());
        auto e = pelErrorOf([&] { install(); });
        EXPECT_EQ(rawValue(e.code()), rawValue(ErrorCode::INT_UNEXPECTED));
        EXPECT_EQ(e.bundleID(), "com.example.app");
        EXPECT_TRUE(e.message().starts_with("replaceItem failed: ")) << e.message();
        EXPECT_NE(e.message().find(std::strerror(c.err)), std::string::npos) << e.message();
        EXPECT_EQ(e.message().find("previous copy kept"), std::string::npos) << e.message();
        EXPECT_EQ(markerOf(installed), "old");
        EXPECT_EQ(markerOf(staging() / "Example.app"), "new");
        EXPECT_EQ(tools.callCount("codesign"), 0);
    }
}

TEST_F(Replace, WithoutExchangeTheSwapTakesTwoRenames) {
    failFileOps(FileOps::failOnPath(FileOps::Op::exchange, installed, EINVAL));
    install();
    EXPECT_EQ(markerOf(installed), "new");
    EXPECT_FALSE(present(swapBackup()));
    std::vector<FileOps::Op> seen;
    for (const auto& call : ops->calls())
        seen.push_back(call.op);
    using Op = FileOps::Op;
    EXPECT_EQ(seen, (std::vector<Op>{Op::remove, Op::exchange, Op::rename, Op::rename, Op::remove}));
    EXPECT_EQ(ops->calls()[2].first, installed);
    EXPECT_EQ(ops->calls()[2].second, swapBackup());
}

TEST_F(Replace, AFallbackThatCannotUndoNamesWhereThePreviousCopyIs) {
    failFileOps(FileOps::anyOf({FileOps::failOnPath(FileOps::Op::exchange, installed, EINVAL),
                                FileOps::failNthOf(FileOps::Op::rename, 2, EIO),
                                FileOps::failNthOf(FileOps::Op::rename, 3, EIO)}));
    auto e = pelErrorOf([&] { install(); });
    EXPECT_TRUE(e.message().starts_with("replaceItem failed: ")) << e.message();
    EXPECT_TRUE(e.message().ends_with("; previous copy kept at " + swapBackup().string())) << e.message();
    EXPECT_EQ(markerOf(swapBackup()), "old");
}

// ---- Finder comment ----

TEST_F(Replace, TheFinderCommentSurvivesTheSwap) {
    pelsupport::setFinderComment(tools, installed.string(), "  Keep me\n\n");
    install();
    ASSERT_EQ(tools.callCount("mdls"), 1);
    EXPECT_EQ(tools.calls("mdls")[0].args,
              (std::vector<std::string>{"-name", "kMDItemFinderComment", "-raw", installed.string()}));
    EXPECT_EQ(pelsupport::finderCommentWrites(tools),
              (std::vector<std::pair<std::string, std::string>>{{installed.string(), "Keep me"}}));
    EXPECT_EQ(pelsupport::finderComment(tools, installed.string()), "Keep me");
}

TEST_F(Replace, NoCommentOrABlankOneIsNotWritten) {
    for (const char* stored : {"", "(null)", " \n\t ", "\n(null)\n"}) {
        SCOPED_TRACE(stored);
        if (*stored) pelsupport::setFinderComment(tools, installed.string(), stored);
        install();
        EXPECT_EQ(tools.callCount("osascript"), 0);
        makeBundle(installed, "old");
    }
    previousMustSurvive = false;
}

TEST_F(Replace, ACommentWithQuotesAndBackslashesIsEscapedAndRoundTrips) {
    const std::string comment = "say \"hi\" to C:\\dir\\ and \\\"x";
    pelsupport::setFinderComment(tools, installed.string(), comment);
    install();
    ASSERT_EQ(tools.callCount("osascript"), 1);
    const std::string head = "tell application \"Finder\" to set comment of (POSIX file \"";
    const std::string mid = "\" as alias) to ";
    EXPECT_EQ(head.size(), 57u);
    EXPECT_EQ(mid.size(), 15u);
    EXPECT_EQ(tools.calls("osascript")[0].args,
              (std::vector<std::string>{"-e", head + installed.string() + mid +
                                                  "\"say \\\"hi\\\" to C:\\\\dir\\\\ and \\\\\\\"x\""}));
    EXPECT_EQ(pelsupport::finderComment(tools, installed.string()), comment);
}

// ---- Administrator path ----

TEST_F(Replace, NeedsAdminFollowsTheWritabilityTest) {
    EXPECT_TRUE(Installer::needsAdminForApp(app, seams(false)));
    EXPECT_FALSE(Installer::needsAdminForApp(app, seams(true)));
    EXPECT_FALSE(Installer::needsAdminForApp(app)); // root may write anything here
}

TEST_F(Replace, AnUnwritableBundleIsReplacedByTheAdministratorScript) {
    auto result = install(false);
    EXPECT_TRUE(result.success());
    EXPECT_EQ(result.message(), "installed Example (admin escalation)");
    EXPECT_EQ(result.backupURL(), fileUrl(backupCopy()));
    EXPECT_EQ(markerOf(installed), "new");
    EXPECT_EQ(markerOf(backupCopy()), "old");
    EXPECT_FALSE(present(staging())); // the user-space staging folder is not used
    EXPECT_FALSE(present(swapBackup()));
    EXPECT_TRUE(fs::is_empty(tmp));
    EXPECT_EQ(tools.callCount("mdls"), 0);

    // The quarantine goes from the staged copy in "pel-admin-<UUID>", not from the download.
    ASSERT_EQ(tools.callCount("xattr"), 1);
    const std::string staged = tools.calls("xattr")[0].args.back();
    const std::regex stagedForm(tmp.string() +
                                "/pel-admin-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                                "[0-9A-F]{12}/Example\\.app");
    EXPECT_TRUE(std::regex_match(staged, stagedForm)) << staged;
    EXPECT_EQ(tools.calls("xattr")[0].args,
              (std::vector<std::string>{"-drs", "com.apple.quarantine", staged}));

    ASSERT_EQ(tools.callCount("osascript"), 1);
    EXPECT_EQ(tools.calls("osascript")[0].args,
              (std::vector<std::string>{"-e", "do shell script \"/bin/rm -rf '" + installed.string() +
                                                  "' && /usr/bin/ditto '" + staged + "' '" +
                                                  installed.string() + "'\" with administrator privileges"}));
    EXPECT_EQ(tools.calls("codesign").back().args, verifyCall());
}

TEST_F(Replace, AdministratorFailuresAreTheirOwnAndCleanUp) {
    struct Case {
        const char* name;
        pelsupport::OsascriptOptions options;
        ErrorCode code;
        std::string message;
    };
    pelsupport::OsascriptOptions cancel;
    cancel.mode = pelsupport::OsascriptMode::cancel;
    pelsupport::OsascriptOptions fail;
    fail.mode = pelsupport::OsascriptMode::fail;
    fail.failError = "\n  0:95: execution error: An error of type -10810 has occurred. (-10810)\n";
    pelsupport::OsascriptOptions cancelCode = fail;
    cancelCode.failError = "execution error: (-128)\n";
    const std::vector<Case> cases = {
        {"cancel", cancel, ErrorCode::ENV_NOT_WRITABLE, "admin password prompt cancelled"},
        {"-128 alone", cancelCode, ErrorCode::ENV_NOT_WRITABLE, "admin password prompt cancelled"},
        {"failure", fail, ErrorCode::INT_UNEXPECTED,
         "admin install failed: 0:95: execution error: An error of type -10810 has occurred. (-10810)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pelsupport::installReplaceOsascript(tools, c.options);
        expectError(pelErrorOf([&] { install(false); }), c.code, "com.example.app", c.message);
        EXPECT_EQ(markerOf(installed), "old");
        EXPECT_EQ(markerOf(backupCopy()), "old");
        EXPECT_TRUE(fs::is_empty(tmp));
    }
}

TEST_F(Replace, AFailingAdministratorCheckKeepsTheNewBundle) {
    pelsupport::installVerifyingCodesign(tools, FakeReply().withStatus(1).withErr("invalid signature\n"));
    expectError(pelErrorOf([&] { install(false); }), ErrorCode::SEC_SIGNATURE_INVALID, "com.example.app",
                "post-install codesign failed: invalid signature\n");
    EXPECT_EQ(markerOf(installed), "new");
    EXPECT_EQ(markerOf(backupCopy()), "old");
    EXPECT_TRUE(fs::is_empty(tmp));
}

TEST_F(Replace, AdministratorToolsMissingOrStagingFailingChangeNothing) {
    {
        SCOPED_TRACE("stage copy fails");
        pelsupport::installFakeDitto(
            tools, {FakeRule().onCall(1).then(FakeReply().withStatus(1).withErr("ditto: cannot read\n"))});
        expectError(pelErrorOf([&] { install(false); }), ErrorCode::INT_UNEXPECTED, std::nullopt,
                    "user-space stage copy failed: ditto: cannot read\n");
        EXPECT_EQ(tools.callCount("osascript"), 0);
        EXPECT_TRUE(fs::is_empty(tmp));
    }
    for (const char* tool : {"osascript", "ditto"}) {
        SCOPED_TRACE(tool);
        pelsupport::installFakeDitto(tools);
        pelsupport::installReplaceOsascript(tools);
        tools.remove(tool);
        expectError(pelErrorOf([&] { install(false); }), ErrorCode::INT_UNEXPECTED, std::nullopt,
                    std::string(tool) + " not found");
        EXPECT_EQ(markerOf(installed), "old");
        EXPECT_TRUE(fs::is_empty(tmp));
    }
}

TEST_F(Replace, WithoutABackupCopyTheAdministratorScriptIsNotRun) {
    pelsupport::installFakeDitto(tools, {backupCopyFails("ditto: backups full\n")});
    expectError(pelErrorOf([&] { install(false); }), ErrorCode::INT_UNEXPECTED, "com.example.app",
                "backup copy failed; admin install not attempted: ditto: backups full");
    EXPECT_EQ(tools.callCount("osascript"), 0);
    EXPECT_EQ(markerOf(installed), "old");
    EXPECT_TRUE(fs::is_empty(tmp));
}

TEST_F(Replace, TheAdministratorStagingFolderThatCannotBeMadeIsThrownUnchanged) {
    writeText(tmp / "blocker", "a file where a folder should be");
    auto s = seams(false);
    s.temporaryDirectory = tmp / "blocker";
    EXPECT_THROW(Installer::install(app, fileUrl(fresh), InstallOptions(false), nullptr, s),
                 std::filesystem::filesystem_error);
    EXPECT_EQ(markerOf(installed), "old");
    EXPECT_EQ(tools.callCount("osascript"), 0);
}

// ---- Hostile paths ----

TEST_F(Replace, APathFullOfQuotesIsReplacedAndKeepsItsCommentWithoutRunningACanary) {
    const std::string folder = "We'ird \"q\" back\\slash $(touch canary1) `touch canary2` '; touch canary3; "
                               "' \"; touch canary4; \" end";
    useApplicationsFolder(root / folder);
    ScopedWorkingDirectory here(root.path());

    // Administrator path.
    auto result = install(false);
    EXPECT_EQ(result.message(), "installed Example (admin escalation)");
    EXPECT_EQ(markerOf(installed), "new");
    const std::string staged = tools.calls("xattr").back().args.back();
    const auto script = tools.calls("osascript").back().args.back();
    EXPECT_NE(script.find("'\\\\''"), std::string::npos) << script; // what the shell gets is '\''
    EXPECT_EQ(script, "do shell script \"/bin/rm -rf " + appleScriptEscape(shellQuote(installed.string())) +
                          " && /usr/bin/ditto " + appleScriptEscape(shellQuote(staged)) + " " +
                          appleScriptEscape(shellQuote(installed.string())) +
                          "\" with administrator privileges");
    ASSERT_EQ(pelsupport::osascriptShellCommands(tools).size(), 1u);
    EXPECT_EQ(pelsupport::osascriptShellCommands(tools)[0],
              "/bin/rm -rf " + shellQuote(installed.string()) + " && " +
                  pelsupport::shQuote(tools.path("ditto")) + " " + shellQuote(staged) + " " +
                  shellQuote(installed.string()));

    // User path, with a comment to carry over.
    makeBundle(installed, "old");
    pelsupport::setFinderComment(tools, installed.string(), "it's \"mine\" \\ $(touch canary5)");
    install(true);
    EXPECT_EQ(markerOf(installed), "new");
    EXPECT_EQ(pelsupport::finderCommentWrites(tools),
              (std::vector<std::pair<std::string, std::string>>{
                  {installed.string(), "it's \"mine\" \\ $(touch canary5)"}}));

    for (const char* canary : {"canary1", "canary2", "canary3", "canary4", "canary5"}) {
        EXPECT_FALSE(present(root / canary)) << canary;
        EXPECT_FALSE(present(apps / canary)) << canary;
    }
}

TEST_F(Replace, AnInstalledPathThatNamesNoBundleIsRefused) {
    for (const char* path : {"/", "/tmp/..", "/Applications/."}) {
        SCOPED_TRACE(path);
        InstalledApp odd = app;
        odd.path = Url::fromFilePath(path);
        for (bool writable : {true, false}) {
            auto e = pelErrorOf([&] {
                Installer::install(odd, fileUrl(fresh), InstallOptions(false), nullptr, seams(writable));
            });
            EXPECT_EQ(rawValue(e.code()), rawValue(ErrorCode::INT_UNEXPECTED));
            EXPECT_TRUE(e.message().starts_with("installed bundle path is not usable: ")) << e.message();
        }
    }
    EXPECT_TRUE(tools.calls().empty());
}
