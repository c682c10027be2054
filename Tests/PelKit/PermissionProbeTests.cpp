#include "PelKit/PermissionProbe.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace pelkit;
namespace fs = std::filesystem;

namespace {

// A stand-in applications folder.
struct AppsFolder {
    pelsupport::TempDir tmp{"pel-probe-test"};
    std::string root = tmp.path().string();
    std::string plistOf(const std::string& entry) const {
        return root + "/" + entry + "/Contents/Info.plist";
    }
    // A bundle with Contents/Info.plist.
    std::string bundle(const std::string& name) const {
        fs::create_directories(root + "/" + name + "/Contents");
        std::ofstream(plistOf(name)) << "<plist version=\"1.0\"><dict/></plist>\n";
        return plistOf(name);
    }
    void bundleWithoutPlist(const std::string& name) const {
        fs::create_directories(root + "/" + name + "/Contents");
    }
};

// Answers every open with the errno given for its path (0 when not listed) and records the paths.
struct ScriptedOpen {
    std::map<std::string, int> answers;
    int otherwise = 0;
    std::vector<std::string> opened;
    PermissionProbe::OpenProbe fn() {
        return [this](const std::string& path) {
            opened.push_back(path);
            auto it = answers.find(path);
            return it == answers.end() ? otherwise : it->second;
        };
    }
};

} // namespace

TEST(PermissionStatus, RawValuesAreTheCaseNames) {
    for (auto s : {PermissionStatus::granted, PermissionStatus::denied, PermissionStatus::unknown})
        EXPECT_EQ(fromRawValue<PermissionStatus>(rawValue(s)), s);
    EXPECT_EQ(rawValue(PermissionStatus::granted), "granted");
    EXPECT_EQ(rawValue(PermissionStatus::denied), "denied");
    EXPECT_EQ(rawValue(PermissionStatus::unknown), "unknown");
    for (const char* bad : {"Granted", "DENIED", " unknown", "", "grant"})
        EXPECT_EQ(fromRawValue<PermissionStatus>(bad), std::nullopt) << bad;
}

TEST(PermissionProbe, UnlistableOrEmptyFolderIsUnknown) {
    AppsFolder apps;
    std::ofstream(apps.root + "/file") << "x";
    ScriptedOpen open;
    EXPECT_EQ(PermissionProbe::appManagementGranted("com.me", apps.root + "/missing", open.fn()),
              PermissionStatus::unknown);
    EXPECT_EQ(PermissionProbe::appManagementGranted("com.me", apps.root + "/file", open.fn()),
              PermissionStatus::unknown);
    fs::remove(apps.root + "/file");
    EXPECT_EQ(PermissionProbe::appManagementGranted("com.me", apps.root, open.fn()),
              PermissionStatus::unknown);
    EXPECT_TRUE(open.opened.empty());
}

TEST(PermissionProbe, OwnApplicationIsSkippedOnlyWhenItsIdentifierIsPassed) {
    AppsFolder apps;
    apps.bundle("Pelloran.app");
    ScriptedOpen open;
    EXPECT_EQ(PermissionProbe::appManagementGranted("com.example.pel", apps.root, open.fn()),
              PermissionStatus::unknown);
    EXPECT_TRUE(open.opened.empty());
    // Without an identifier no name is passed over: the application probes itself (for real here).
    EXPECT_EQ(PermissionProbe::appManagementGranted(std::nullopt, apps.root), PermissionStatus::granted);
}

TEST(PermissionProbe, NameRulesDecideWhichEntriesAreProbed) {
    struct Case {
        const char* entry;
        std::optional<std::string> ownID;
        bool probed;
    };
    for (const auto& c : std::vector<Case>{
             {"Other.app", "com.example.pel", true},
             {"pelloran beta.app", "com.example.pel", false}, // product name, any case
             {"My PELLORAN Helper.app", "com.example.pel", false},
             {"COM.Example.PEL Tools.app", "com.example.pel", false}, // own identifier, any case
             {"com.example.pelican.app", "com.example.pel", false},   // contains it
             {"Other.app", std::string(), true},                      // an empty identifier matches nothing
             {"Pelloran.app", std::nullopt, true},
             {"Upper.APP", std::nullopt, false}, // extension compared case-sensitively
             {"Utilities", std::nullopt, false},
             {"Plain.apps", std::nullopt, false},
             {".Hidden.app", std::nullopt, true}, // hidden entries are listed too
         }) {
        SCOPED_TRACE(c.entry);
        AppsFolder apps;
        const auto plist = apps.bundle(c.entry);
        ScriptedOpen open;
        auto status = PermissionProbe::appManagementGranted(c.ownID, apps.root, open.fn());
        EXPECT_EQ(status, c.probed ? PermissionStatus::granted : PermissionStatus::unknown);
        EXPECT_EQ(open.opened, c.probed ? std::vector<std::string>{plist} : std::vector<std::string>{});
    }
}

TEST(PermissionProbe, DoesNotDescendIntoFolders) {
    AppsFolder apps;
    apps.bundle("Utilities/Nested.app");
    ScriptedOpen open;
    EXPECT_EQ(PermissionProbe::appManagementGranted("com.me", apps.root, open.fn()),
              PermissionStatus::unknown);
    EXPECT_TRUE(open.opened.empty());
}

TEST(PermissionProbe, BundleWithoutInfoPlistIsPassedOverForTheNext) {
    AppsFolder apps;
    apps.bundleWithoutPlist("Empty.app");
    fs::create_directories(apps.root + "/Dangling.app/Contents");
    fs::create_symlink(apps.root + "/nowhere", apps.plistOf("Dangling.app"));
    std::ofstream(apps.root + "/File.app") << "not a folder";
    const auto good = apps.bundle("Good.app");
    ScriptedOpen open;
    EXPECT_EQ(PermissionProbe::appManagementGranted("com.me", apps.root, open.fn()),
              PermissionStatus::granted);
    EXPECT_EQ(open.opened, std::vector<std::string>{good});
}

TEST(PermissionProbe, OtherRefusalsMoveOnToTheNextBundle) {
    AppsFolder apps;
    const auto refused = apps.bundle("Refused.app");
    const auto fine = apps.bundle("Fine.app");
    ScriptedOpen open;
    open.answers[refused] = EACCES;
    EXPECT_EQ(PermissionProbe::appManagementGranted("com.me", apps.root, open.fn()),
              PermissionStatus::granted);
    EXPECT_EQ(open.opened.back(), fine);

    ScriptedOpen allRefused;
    allRefused.otherwise = EACCES;
    EXPECT_EQ(PermissionProbe::appManagementGranted("com.me", apps.root, allRefused.fn()),
              PermissionStatus::unknown);
    EXPECT_EQ(allRefused.opened.size(), 2u);
}

TEST(PermissionProbe, EpermOnTheFirstProbeIsDeniedWithoutTryingFurther) {
    AppsFolder apps;
    for (const char* name : {"A.app", "B.app", "C.app"})
        apps.bundle(name);
    ScriptedOpen open;
    bool first = true;
    auto fn = [&](const std::string& path) {
        open.opened.push_back(path);
        return std::exchange(first, false) ? EPERM : 0; // whichever the listing gives first
    };
    EXPECT_EQ(PermissionProbe::appManagementGranted("com.me", apps.root, fn), PermissionStatus::denied);
    EXPECT_EQ(open.opened.size(), 1u);
}

TEST(PermissionProbe, RealOpenOfADirectoryIsInconclusive) {
    AppsFolder apps;
    fs::create_directories(apps.plistOf("Odd.app")); // EISDIR
    EXPECT_EQ(PermissionProbe::appManagementGranted("com.me", apps.root), PermissionStatus::unknown);
    EXPECT_EQ(PermissionProbe::openForWriting(apps.plistOf("Odd.app")), EISDIR);
    EXPECT_EQ(PermissionProbe::openForWriting(apps.root + "/missing"), ENOENT);
}

TEST(PermissionProbe, GrantedProbeLeavesTheFileAsItWas) {
    AppsFolder apps;
    const auto plist = apps.bundle("Other.app");
    struct timespec times[2] = {{1'000'000'000, 123'456'789}, {1'000'000'000, 123'456'789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, plist.c_str(), times, 0), 0);
    struct stat before;
    ASSERT_EQ(::stat(plist.c_str(), &before), 0);

    EXPECT_EQ(PermissionProbe::appManagementGranted("com.me", apps.root), PermissionStatus::granted);

    struct stat after;
    ASSERT_EQ(::stat(plist.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_size, before.st_size);
    std::ifstream in(plist);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "<plist version=\"1.0\"><dict/></plist>\n");
}
