#include "Platform/FreeSpace.hpp"
#include "Platform/Workspace.hpp"
#include "Support/BundledChild.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace platform;
using pelsupport::TempDir;
namespace fs = std::filesystem;

namespace {

using Child = pelsupport::BundledChild;
using pelsupport::installSleeper;
using pelsupport::writeInfoPlist;

std::optional<RunningApplication> findPid(const Workspace& ws, pid_t pid) {
    for (const auto& app : ws.runningApplications()) {
        if (app.pid == pid) return app;
    }
    return std::nullopt;
}

} // namespace

TEST(EnclosingBundlePath, InnermostAncestorBundleCounts) {
    struct Case {
        std::string exe;
        std::optional<std::string> bundle;
    };
    const std::vector<Case> cases = {
        {"/Applications/Foo.app/Contents/MacOS/Foo", "/Applications/Foo.app"},
        {"/A/Foo.app/Contents/Helpers/Bar.app/Contents/MacOS/Bar", "/A/Foo.app/Contents/Helpers/Bar.app"},
        {"/A/Foo.app/Contents/Resources/tool", "/A/Foo.app"},
        {"/usr/bin/sleep", std::nullopt},
        {"/A/Foo.app", std::nullopt},   // the executable itself is no bundle
        {"/A/.app/x", std::nullopt},    // no name before the extension
        {"/A/Foo.APP/x", std::nullopt}, // the extension is case-sensitive
        {"/A/Foo.apps/x", std::nullopt},
        {"relative", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(enclosingBundlePath(c.exe), c.bundle) << c.exe;
    }
}

TEST(ProcWorkspace, ListsBundledProcessesWithIdentifierAndForgetsThemOnExit) {
    TempDir dir;
    fs::path foo = dir.path() / "Foo.app";
    writeInfoPlist(foo, "com.example.foo");
    fs::path helper = foo / "Contents/Helpers/Helper.app";
    writeInfoPlist(helper, "com.example.foo.helper");

    Child main(installSleeper(foo, "Foo"));
    Child nested(installSleeper(helper, "Helper"));
    ProcWorkspace ws;

    auto mainApp = findPid(ws, main.pid());
    ASSERT_TRUE(mainApp);
    EXPECT_EQ(mainApp->bundlePath, foo.string());
    EXPECT_EQ(mainApp->bundleIdentifier, "com.example.foo");

    auto helperApp = findPid(ws, nested.pid());
    ASSERT_TRUE(helperApp);
    EXPECT_EQ(helperApp->bundlePath, helper.string());
    EXPECT_EQ(helperApp->bundleIdentifier, "com.example.foo.helper");

    main.stop();
    EXPECT_FALSE(findPid(ws, main.pid()));
    EXPECT_TRUE(findPid(ws, nested.pid()));
}

TEST(ProcWorkspace, DeletedExecutableStillCountsAndUnreadablePlistGivesNoIdentifier) {
    TempDir dir;
    fs::path foo = dir.path() / "Foo.app";
    fs::path exe = installSleeper(foo, "Foo");
    Child child(exe);
    fs::remove(exe); // the kernel now reports the link target with " (deleted)"
    std::ofstream(foo / "Contents/Info.plist") << "not a plist";

    auto app = findPid(ProcWorkspace(), child.pid());
    ASSERT_TRUE(app);
    EXPECT_EQ(app->bundlePath, foo.string());
    EXPECT_EQ(app->bundleIdentifier, std::nullopt);
}

TEST(ProcWorkspace, SkipsEntriesThatAreNoProcessesOrCannotBeRead) {
    TempDir root;
    writeInfoPlist(root.path() / "Bar.app", "com.example.bar");
    auto fakeProcess = [&](const std::string& name, const std::string& target) {
        fs::create_directories(root.path() / name);
        fs::create_symlink(target, root.path() / name / "exe");
    };
    const std::string barExe = (root.path() / "Bar.app/Contents/MacOS/Bar").string();
    fakeProcess("12", barExe + " (deleted)");
    fakeProcess("13", "/usr/bin/true");
    fakeProcess("self", barExe);                 // not a process id
    fakeProcess("99999999999999999999", barExe); // does not fit a pid
    fs::create_directories(root.path() / "14");  // vanished: no exe link

    auto apps = ProcWorkspace(root.path().string()).runningApplications();
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0], (RunningApplication{12, (root.path() / "Bar.app").string(), "com.example.bar"}));

    EXPECT_TRUE(ProcWorkspace((root.path() / "missing").string()).runningApplications().empty());
}

TEST(FreeBytes, PositiveForTheTemporaryFolderAndNothingForAMissingPath) {
    TempDir dir;
    auto free = freeBytes(dir.path().string());
    ASSERT_TRUE(free);
    EXPECT_GT(*free, 0);
    EXPECT_EQ(freeBytes((dir.path() / "missing/deeper").string()), std::nullopt);
}
