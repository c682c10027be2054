#include "PelKit/Engine.hpp"

#include "PelKit/BundleReader.hpp"
#include "PelKit/Downloads.hpp"
#include "Platform/Errors.hpp"
#include "Platform/Sha256.hpp"
#include "Support/ArchiveBuilder.hpp"
#include "Support/FakeInstallTools.hpp"
#include "Support/FakeVerifyTools.hpp"
#include "Support/UpdateFixture.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <regex>
#include <set>
#include <thread>

using namespace pelkit;
namespace fs = std::filesystem;
using pelsupport::BundleBuilder;
using pelsupport::FakeTools;
using pelsupport::PkgInstallAction;
using pelsupport::PkgStandIn;
using pelsupport::Reply;
using pelsupport::UpdateFixture;
using pelsupport::UpdateRun;

namespace {

constexpr const char* kFoo = "com.example.foo";
constexpr const char* kPkgDone = "installer -pkg completed (Team ABCDE12345)";

BundleBuilder fooBundle(const std::string& version, const std::string& build = "1") {
    return BundleBuilder("Foo.app").bundleID(kFoo).name("Foo").shortVersion(version).buildVersion(build);
}

Json line(const std::string& event, Json fields) {
    fields["event"] = event;
    return fields;
}

// The verifier's eight steps for a good download of Foo 2.0 (build 1) of `size` bytes.
std::vector<Json> passedSteps(std::int64_t size, const std::string& bundleID = kFoo) {
    auto step = [&](const char* name, const std::string& detail) {
        return line("verify_step",
                    {{"bundleID", bundleID}, {"step", name}, {"passed", true}, {"detail", detail}});
    };
    return {step("size", fmt::format("expected {}, got {}", size, size)),
            step("sha256", "match"),
            step("extract", "already extracted"),
            step("signature", "valid"),
            step("teamID", "match ABCDE12345"),
            step("gatekeeper", "accepted"),
            step("bundleID", "match " + bundleID),
            step("versionSanity", "downloaded=2.0 (build 1) advertised=2.0")};
}

// The two download steps a package passes before its installer runs.
std::vector<Json> packageSteps(const RemoteVersion& remote) {
    auto step = [](const char* name, const std::string& detail) {
        return line("verify_step",
                    {{"bundleID", kFoo}, {"step", name}, {"passed", true}, {"detail", detail}});
    };
    return {step("size", fmt::format("expected {}, got {}", *remote.sizeBytes, *remote.sizeBytes)),
            step("sha256", "match")};
}

std::string errorText(const UpdateRun& run) {
    if (!run.error) return "no error";
    try {
        std::rethrow_exception(run.error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown";
    }
}

std::optional<std::string> installedVersion(const fs::path& bundle) {
    return BundleReader::read(Url::fromFilePath(bundle.string())).shortVersion;
}

RemoteVersion publishedFoo(UpdateFixture& fx, const std::string& path = "/dl/Foo.zip") {
    return fx.publish(fx.zipBundle(fooBundle("2.0")), path, "2.0");
}

class EngineUpdateTest : public ::testing::Test {
protected:
    UpdateFixture f;
    InstalledApp app;
    fs::path installedPath;

    void SetUp() override {
        app = f.installApp(fooBundle("1.0"));
        installedPath = app.path.filePath();
    }

    // A release of Foo 2.0 as a zip, published at `path`.
    RemoteVersion fooRelease(const std::string& path = "/dl/Foo.zip") {
        return f.publish(f.zipBundle(fooBundle("2.0")), path, "2.0");
    }

    void expectOneFailureRecord(const std::string& code, const std::string& message) {
        expectFailure(f, code, message);
    }

    // Exactly one failure line, one report; nothing left in the temporary root.
    static void expectFailure(UpdateFixture& fx, const std::string& code, const std::string& message) {
        std::vector<Json> results = fx.events("install_result");
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0],
                  line("install_result",
                       {{"bundleID", kFoo}, {"success", false}, {"code", code}, {"message", message}}));
        ASSERT_EQ(fx.telemetry->reports().size(), 1u);
        EXPECT_EQ(rawValue(fx.telemetry->reports()[0].error.code()), code);
        EXPECT_EQ(fx.telemetry->reports()[0].error.message(), message);
        EXPECT_TRUE(fx.workDirs().empty());
    }
};

// ---- A fresh download ----

TEST_F(EngineUpdateTest, FreshZipDownloadsVerifiesAndSwapsWithABackup) {
    const RemoteVersion remote = fooRelease();
    const auto size = *remote.sizeBytes;
    ASSERT_LT(size, 50'000); // shows as 0.0 MB

    int workMode = -1;
    std::string workName;
    f.onText = [&](const std::string& text) {
        if (text != "Verifying signature + Team ID") return;
        auto dirs = f.workDirs();
        if (dirs.size() != 1) return;
        workMode = pelsupport::modeOf(dirs[0]);
        workName = dirs[0].filename().string();
    };
    const UpdateRun run = f.update(app, remote);
    ASSERT_TRUE(run.result) << errorText(run);

    EXPECT_EQ(run.texts,
              (std::vector<std::string>{"Pre-flight", "Downloading Foo (0.0 MB)", "Extracting 0.0 MB",
                                        "Verifying signature + Team ID", "Installing (atomic swap)"}));
    ASSERT_FALSE(run.bytes.empty());
    EXPECT_EQ(run.bytes.back(), std::make_pair(size, size));

    std::vector<Json> expected{
        line("download_started", {{"bundleID", kFoo}, {"url", remote.downloadURL->text()}}),
        line("download_finished", {{"bundleID", kFoo}, {"bytes", size}, {"durationMs", 0}})};
    for (Json& step : passedSteps(size))
        expected.push_back(std::move(step));
    expected.push_back(
        line("install_result",
             {{"bundleID", kFoo}, {"success", true}, {"durationMs", 0}, {"message", "installed Foo"}}));
    EXPECT_EQ(f.events(), expected);

    // Replaced, with the previous copy kept.
    EXPECT_EQ(installedVersion(installedPath), "2.0");
    const fs::path backup = f.homeDir() / ".local/state/pel/backups/com.example.foo/1.0/Foo.app";
    ASSERT_TRUE(run.result->backupURL());
    EXPECT_EQ(run.result->backupURL()->filePath(), backup.string());
    EXPECT_EQ(installedVersion(backup), "1.0");

    // Cached whole, under the URL's file name; the work directory was private and is gone.
    const fs::path cached = f.cacheFile(kFoo, "2.0", "Foo.zip");
    ASSERT_TRUE(fs::is_regular_file(cached));
    EXPECT_EQ(platform::sha256HexOfFile(cached.string()), *remote.sha256);
    EXPECT_EQ(workMode, 0700);
    EXPECT_TRUE(std::regex_match(
        workName, std::regex("pel-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
        << workName;
    EXPECT_TRUE(f.workDirs().empty());
    EXPECT_TRUE(f.telemetry->reports().empty());
    // Extraction read the cached copy.
    auto ditto = f.tools.calls("ditto");
    ASSERT_FALSE(ditto.empty());
    EXPECT_EQ(ditto[0].args[3], cached.string());
}

TEST_F(EngineUpdateTest, OtherArchiveFormatsInstallTheSameWay) {
    struct Case {
        std::string name;
        std::function<fs::path(UpdateFixture&)> build;
    };
    const Case cases[] = {
        {"Foo.tar.gz", [](UpdateFixture& fx) { return fx.tarGzBundle(fooBundle("2.0")); }},
        {"Foo.dmg", [](UpdateFixture& fx) { return fx.diskImageBundle(fooBundle("2.0")); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateFixture fx;
        const InstalledApp installed = fx.installApp(fooBundle("1.0"));
        const UpdateRun run = fx.update(installed, fx.publish(c.build(fx), "/dl/" + c.name, "2.0"));
        ASSERT_TRUE(run.result) << errorText(run);
        EXPECT_EQ(run.result->message(), "installed Foo");
        EXPECT_EQ(installedVersion(installed.path.filePath()), "2.0");
        EXPECT_EQ(fx.events("verify_step").size(), 8u);
        EXPECT_TRUE(fx.workDirs().empty());
    }
}

// ---- The download cache ----

TEST_F(EngineUpdateTest, TheSameReleaseAgainComesFromTheCacheWithoutARequest) {
    const fs::path zip = f.zipBundleOfSize(fooBundle("2.0"), 1572864);
    const RemoteVersion remote = f.publish(zip, "/dl/Foo.zip", "2.0");

    const UpdateRun first = f.update(app, remote);
    ASSERT_TRUE(first.result) << errorText(first);
    EXPECT_EQ(first.texts[1], "Downloading Foo (1.5 MB)");
    EXPECT_EQ(first.texts[2], "Extracting 1.5 MB");

    const InstalledApp again = f.installApp(fooBundle("1.0"));
    const std::size_t requests = f.server.requests().size();
    const std::size_t linesBefore = f.events().size();
    const UpdateRun second = f.update(again, remote);
    ASSERT_TRUE(second.result) << errorText(second);

    EXPECT_EQ(f.server.requests().size(), requests);
    EXPECT_TRUE(second.bytes.empty());
    EXPECT_EQ(second.texts, (std::vector<std::string>{"Pre-flight", "Reusing cached download (Foo.zip)",
                                                      "Extracting 1.5 MB", "Verifying signature + Team ID",
                                                      "Installing (atomic swap)"}));
    std::vector<Json> lines = f.events();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(linesBefore));
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[0], line("download_started",
                             {{"bundleID", kFoo}, {"url", remote.downloadURL->text()}, {"cache", true}}));
    EXPECT_EQ(lines[1], line("download_finished", {{"bundleID", kFoo}, {"bytes", 1572864}, {"cache", true}}));
    EXPECT_EQ(lines[10]["event"], "install_result");
    EXPECT_EQ(lines[10]["success"], true);
    EXPECT_EQ(installedVersion(again.path.filePath()), "2.0");
    EXPECT_TRUE(f.workDirs().empty());
}

// The download is received beside its place in the cache and renamed there: the work folder never
// holds a copy, and nothing but the finished file stays.
TEST_F(EngineUpdateTest, TheDownloadIsReceivedInTheCacheFolderAndRenamedIntoPlace) {
    const fs::path zip = f.zipBundleOfSize(fooBundle("2.0"), 1572864);
    const RemoteVersion remote = f.publish(zip, "/dl/Foo.zip", "2.0");
    const fs::path cached = f.cacheFile(kFoo, "2.0", "Foo.zip");
    std::vector<std::string> cacheNames;
    std::size_t workFiles = 0;
    f.onBytes = [&](std::int64_t got, std::int64_t expected) {
        if (!cacheNames.empty() || got <= 0 || got >= expected) return;
        for (const auto& e : fs::directory_iterator(cached.parent_path()))
            cacheNames.push_back(e.path().filename().string());
        for (const fs::path& work : f.workDirs())
            workFiles += static_cast<std::size_t>(
                std::distance(fs::recursive_directory_iterator(work), fs::recursive_directory_iterator()));
    };
    const UpdateRun run = f.update(app, remote);
    ASSERT_TRUE(run.result) << errorText(run);

    ASSERT_EQ(cacheNames.size(), 1u);
    EXPECT_TRUE(cacheNames[0].starts_with("pel-dl-")) << cacheNames[0];
    EXPECT_EQ(workFiles, 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(cached.parent_path()), fs::directory_iterator()), 1);
    EXPECT_EQ(platform::sha256HexOfFile(cached.string()), *remote.sha256);
}

TEST_F(EngineUpdateTest, DownloadingTextShowsThePublishedSizeInMegabytes) {
    f.server.script("/dl/missing.zip", {Reply::withStatus(404)});
    const std::pair<std::optional<std::int64_t>, std::string> cases[] = {
        {10485760, "Downloading Foo (10.0 MB)"},
        {1572864, "Downloading Foo (1.5 MB)"},
        {std::nullopt, "Downloading Foo"},
    };
    for (const auto& [size, text] : cases) {
        SCOPED_TRACE(text);
        RemoteVersion remote;
        remote.source = AppSource::sparkle;
        remote.version = "2.0";
        remote.downloadURL = f.server.url("/dl/missing.zip");
        remote.sizeBytes = size;
        const UpdateRun run = f.update(app, remote);
        ASSERT_TRUE(run.error);
        EXPECT_EQ(run.texts, (std::vector<std::string>{"Pre-flight", text}));
    }
}

// ---- Verification aborts and the cache ----

TEST_F(EngineUpdateTest, AVerificationAbortOverTheFileItselfEvictsTheCachedDownload) {
    struct Case {
        std::string name;
        std::function<BundleBuilder()> bundle;
        std::function<void(const fs::path& tree)> spoil; // on the bundle before it is zipped
        bool wrongHash;
        ErrorCode code;
        std::string message;
        bool evicted;
        std::string lastText; // a file that is not the published one is refused before extraction
    };
    const Case cases[] = {
        {"RejectedSignature", [] { return fooBundle("2.0"); },
         [](const fs::path& b) {
             pelsupport::markSignatureRejected(b, "a sealed resource is missing or invalid\n");
         },
         false, ErrorCode::SEC_SIGNATURE_INVALID, "codesign --verify failed", true,
         "Verifying signature + Team ID"},
        {"UnreadableBundle", [] { return BundleBuilder("Foo.app").withoutInfoPlist(); }, nullptr, false,
         ErrorCode::SEC_BUNDLEID_CHANGED, "bundle ID changed", true, "Verifying signature + Team ID"},
        {"HashMismatch", [] { return fooBundle("2.0"); }, nullptr, true, ErrorCode::SRC_HASH_MISMATCH,
         "sha256 mismatch", true, "Downloading Foo (0.0 MB)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateFixture fx;
        const InstalledApp installed = fx.installApp(fooBundle("1.0"));
        const auto before = UpdateFixture::snapshot(installed.path.filePath());

        const fs::path tree = fx.dir / ("tree-" + c.name);
        const fs::path bundle = c.bundle().build(tree);
        if (c.spoil) c.spoil(bundle);
        RemoteVersion remote =
            fx.publish(pelsupport::buildZip(tree, fx.dir / "Foo.zip"), "/dl/Foo.zip", "2.0");
        if (c.wrongHash) remote.sha256 = std::string(64, '0');

        const UpdateRun run = fx.update(installed, remote);
        ASSERT_TRUE(run.pelError()) << errorText(run);
        EXPECT_EQ(run.pelError()->code(), c.code);
        EXPECT_EQ(run.pelError()->message(), c.message);
        EXPECT_EQ(run.pelError()->bundleID(), kFoo);
        EXPECT_EQ(fs::exists(fx.cacheFile(kFoo, "2.0", "Foo.zip")), !c.evicted);
        EXPECT_EQ(UpdateFixture::snapshot(installed.path.filePath()), before);
        EXPECT_EQ(fx.events("install_result").size(), 1u);
        EXPECT_EQ(run.texts.back(), c.lastText);
        // The failing step is the last one journalled.
        const auto steps = fx.events("verify_step");
        ASSERT_FALSE(steps.empty());
        EXPECT_EQ(steps.back()["passed"], false);
    }
}

TEST_F(EngineUpdateTest, ABundleTheUserMayNotWriteGoesThroughTheAdministratorScript) {
    f.setWritable(false);
    const UpdateRun run = f.update(app, fooRelease());
    ASSERT_TRUE(run.result) << errorText(run);
    EXPECT_EQ(installedVersion(installedPath), "2.0");
    const auto scripts = pelsupport::osascriptShellCommands(f.tools);
    ASSERT_EQ(scripts.size(), 1u);
    // The administrator's staging folder was made under the injected temporary root, and is gone.
    EXPECT_NE(scripts[0].find(f.temporaryRoot().string() + "/pel-admin-"), std::string::npos) << scripts[0];
    EXPECT_TRUE(f.workDirs().empty());
}

// ---- Installer packages ----

TEST_F(EngineUpdateTest, DirectPackageGetsTheVersionNoteOnlyWhenTheBundleIsOlder) {
    struct Case {
        std::string version, build, advertised, note;
    };
    const Case cases[] = {
        {"2.0", "300", "2.0,300", ""},
        {"2.0", "299", "2.0,300", " (installed 2.0, advertised 2.0,300)"},
        {"1.9", "1", "2.0", " (installed 1.9, advertised 2.0)"},
        {"2.1", "1", "2.0", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version + " build " + c.build + " vs " + c.advertised);
        UpdateFixture fx;
        const InstalledApp installed = fx.installApp(fooBundle("1.0"));
        const fs::path plist = fs::path(installed.path.filePath()) / "Contents/Info.plist";
        const fs::path pkg = pelsupport::buildPkg(PkgStandIn().withInstall(PkgInstallAction().writing(
                                                      plist, fooBundle(c.version, c.build).infoPlistBytes())),
                                                  fx.dir / "built/Foo.pkg");
        const RemoteVersion remote = fx.publish(pkg, "/dl/Foo.pkg", c.advertised);

        const UpdateRun run = fx.update(installed, remote);
        ASSERT_TRUE(run.result) << errorText(run);
        EXPECT_EQ(run.result->message(), kPkgDone + c.note);
        EXPECT_FALSE(run.result->backupURL());
        EXPECT_EQ(run.texts, (std::vector<std::string>{"Pre-flight", "Downloading Foo (0.0 MB)",
                                                       "Inspecting pkg signature"}));
        const auto lines = fx.events();
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(std::vector<Json>(lines.begin() + 2, lines.begin() + 4), packageSteps(remote));
        EXPECT_EQ(lines[4], line("install_result", {{"bundleID", kFoo},
                                                    {"success", true},
                                                    {"durationMs", 0},
                                                    {"path", "pkg"},
                                                    {"message", kPkgDone + c.note}}));
        // The system installer ran on the cached copy and rewrote the bundle.
        auto calls = fx.tools.calls("installer");
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].args,
                  (std::vector<std::string>{"-pkg", fx.cacheFile(kFoo, c.advertised, "Foo.pkg").string(),
                                            "-target", "/"}));
        EXPECT_EQ(installedVersion(installed.path.filePath()), c.version);
        EXPECT_TRUE(fx.workDirs().empty());
    }
}

TEST_F(EngineUpdateTest, PackageInsideADiskImageOrZipIsRecordedAsPkgInDmgWithoutANote) {
    for (const std::string container : {"Foo.dmg", "Foo.zip"}) {
        SCOPED_TRACE(container);
        UpdateFixture fx;
        const InstalledApp installed = fx.installApp(fooBundle("1.0"));
        const fs::path plist = fs::path(installed.path.filePath()) / "Contents/Info.plist";
        // The package leaves an older version than advertised: no note on this road.
        const fs::path pkg = pelsupport::buildPkg(
            PkgStandIn().withInstall(PkgInstallAction().writing(plist, fooBundle("1.9").infoPlistBytes())),
            fx.dir / "pkg/Foo.pkg");
        const fs::path archive =
            container == "Foo.dmg" ? fx.diskImageFile(pkg, container) : fx.zipFile(pkg, container);
        const RemoteVersion remote = fx.publish(archive, "/dl/" + container, "2.0");
        const UpdateRun run = fx.update(installed, remote);
        ASSERT_TRUE(run.result) << errorText(run);

        EXPECT_EQ(run.result->message(), kPkgDone);
        EXPECT_EQ(run.texts,
                  (std::vector<std::string>{"Pre-flight", "Downloading Foo (0.0 MB)", "Extracting 0.0 MB",
                                            "Inspecting inner pkg signature"}));
        const auto lines = fx.events();
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(std::vector<Json>(lines.begin() + 2, lines.begin() + 4), packageSteps(remote));
        EXPECT_EQ(lines[4], line("install_result", {{"bundleID", kFoo},
                                                    {"success", true},
                                                    {"durationMs", 0},
                                                    {"path", "pkg-in-dmg"},
                                                    {"message", kPkgDone}}));
        EXPECT_EQ(fx.tools.callCount("installer"), 1);
        EXPECT_EQ(installedVersion(installed.path.filePath()), "1.9");
        EXPECT_TRUE(fx.workDirs().empty());
    }
}

// A package never reaches the verifier, but a file that is not the published one is never installed.
TEST_F(EngineUpdateTest, APackageThatIsNotThePublishedFileIsNeverInstalled) {
    struct Case {
        std::string name;
        std::string container; // "": the package itself
        bool wrongHash;        // else a wrong size
    };
    const Case cases[] = {
        {"DirectWrongHash", "", true},
        {"DirectWrongSize", "", false},
        {"InZipWrongHash", "Foo.zip", true},
        {"InDiskImageWrongSize", "Foo.dmg", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateFixture fx;
        const InstalledApp installed = fx.installApp(fooBundle("1.0"));
        const auto before = UpdateFixture::snapshot(installed.path.filePath());
        const fs::path plist = fs::path(installed.path.filePath()) / "Contents/Info.plist";
        const fs::path pkg = pelsupport::buildPkg(
            PkgStandIn().withInstall(PkgInstallAction().writing(plist, fooBundle("2.0").infoPlistBytes())),
            fx.dir / "pkg/Foo.pkg");
        const fs::path file = c.container.empty()        ? pkg
                              : c.container == "Foo.zip" ? fx.zipFile(pkg, c.container)
                                                         : fx.diskImageFile(pkg, c.container);
        const std::string name = file.filename().string();
        RemoteVersion remote = fx.publish(file, "/dl/" + name, "2.0");
        const std::int64_t size = *remote.sizeBytes;
        if (c.wrongHash)
            remote.sha256 = std::string(64, 'a');
        else
            remote.sizeBytes = size * 2;

        const UpdateRun run = fx.update(installed, remote);
        ASSERT_TRUE(run.pelError()) << errorText(run);
        EXPECT_EQ(fx.tools.callCount("installer"), 0);
        EXPECT_EQ(UpdateFixture::snapshot(installed.path.filePath()), before);
        const auto steps = fx.events("verify_step");
        ASSERT_FALSE(steps.empty());
        EXPECT_EQ(steps.back()["passed"], false);
        if (c.wrongHash) {
            EXPECT_EQ(steps.back()["step"], "sha256");
            expectFailure(fx, "SRC_HASH_MISMATCH", "sha256 mismatch");
        } else {
            EXPECT_EQ(steps.back()["step"], "size");
            expectFailure(fx, "SRC_FEED_MALFORMED", fmt::format("size mismatch {} vs {}", size, size * 2));
        }
        // Not the published file: served again it would fail the same way.
        EXPECT_FALSE(fs::exists(fx.cacheFile(kFoo, "2.0", name)));
    }
}

TEST_F(EngineUpdateTest, PackageTeamIDIsCheckedAgainstTheOverrideReadAtInstallTime) {
    const fs::path pkg = pelsupport::buildPkg(PkgStandIn(), f.dir / "built/Foo.pkg");
    const RemoteVersion remote = f.publish(pkg, "/dl/Foo.pkg", "2.0");
    OverrideEntry entry;
    entry.expectedTeamID = "ZZZZZ99999";
    f.setOverrides({{kFoo, entry}});
    const UpdateRun run = f.update(app, remote);
    ASSERT_TRUE(run.pelError()) << errorText(run);
    EXPECT_EQ(run.pelError()->code(), ErrorCode::SEC_TEAMID_MISMATCH);
    EXPECT_EQ(f.tools.callCount("installer"), 0);
    expectOneFailureRecord("SEC_TEAMID_MISMATCH",
                           "pkg signed by ABCDE12345, installed app signed by ZZZZZ99999");
}

// ---- Homebrew hand-off ----

TEST_F(EngineUpdateTest, HandOffRunsBrewWithoutPreflightOrWorkDirectory) {
    struct Case {
        std::string name;
        std::optional<std::string> artifact;
        bool useBrew;
    };
    const Case cases[] = {{"InstallerArtifact", "installer", false}, {"AppWithUseBrew", "app", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateFixture fx;
        const InstalledApp installed = fx.installApp(fooBundle("1.0"));
        if (c.useBrew) {
            OverrideEntry entry;
            entry.useBrew = true;
            fx.setOverrides({{kFoo, entry}});
        }
        RemoteVersion remote = publishedFoo(fx);
        remote.sourceToken = "foo";
        remote.artifactType = c.artifact;

        const UpdateRun run = fx.update(installed, remote);
        ASSERT_TRUE(run.result) << errorText(run);
        const std::string artifact = c.artifact.value_or("unknown");
        EXPECT_EQ(run.texts, (std::vector<std::string>{"Handing off to Homebrew (artifact=" + artifact + ")",
                                                       "brew install --cask foo --force"}));
        auto brew = fx.tools.calls("brew");
        ASSERT_EQ(brew.size(), 1u);
        EXPECT_EQ(brew[0].args, (std::vector<std::string>{"install", "--cask", "foo", "--force"}));
        EXPECT_TRUE(run.result->message().starts_with("brew install --cask foo ok \u2014 "))
            << run.result->message();
        EXPECT_EQ(fx.events(),
                  (std::vector<Json>{line("install_result", {{"bundleID", kFoo},
                                                             {"success", true},
                                                             {"durationMs", 0},
                                                             {"path", "brew"},
                                                             {"source", "brew"},
                                                             {"message", run.result->message()}})}));
        EXPECT_FALSE(fs::exists(fx.temporaryRoot()));
        EXPECT_TRUE(fx.server.requests().empty());
        EXPECT_EQ(installedVersion(installed.path.filePath()), "1.0");
    }
}

TEST_F(EngineUpdateTest, UseBrewWithoutAHomebrewTokenTakesTheNormalRoad) {
    OverrideEntry entry;
    entry.useBrew = true;
    f.setOverrides({{kFoo, entry}});
    struct Case {
        std::string name;
        AppSource source;
        std::optional<std::string> token;
    };
    const Case cases[] = {{"Sparkle", AppSource::sparkle, "foo"},
                          {"HomebrewWithoutToken", AppSource::homebrew, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const InstalledApp installed = f.installApp(fooBundle("1.0"));
        RemoteVersion remote = fooRelease("/dl/" + c.name + "/Foo.zip");
        remote.source = c.source;
        remote.sourceToken = c.token;
        remote.artifactType = "installer";
        const UpdateRun run = f.update(installed, remote);
        ASSERT_TRUE(run.result) << errorText(run);
        EXPECT_EQ(run.texts.front(), "Pre-flight");
        EXPECT_EQ(run.result->message(), "installed Foo");
    }
    EXPECT_EQ(f.tools.callCount("brew"), 0);
}

TEST_F(EngineUpdateTest, HomebrewReleaseWithoutArtifactTypeIsNotHandedOff) {
    RemoteVersion remote = fooRelease();
    remote.sourceToken = "foo";
    remote.artifactType = std::nullopt;
    const UpdateRun run = f.update(app, remote);
    ASSERT_TRUE(run.result) << errorText(run);
    EXPECT_EQ(f.tools.callCount("brew"), 0);
    EXPECT_EQ(run.texts.front(), "Pre-flight");
}

TEST_F(EngineUpdateTest, HandOffDryRunOnlyReturnsItsMessage) {
    // Even a running application does not stop a hand-off's dry run: it returns before any check.
    f.workspace.set({{4242, installedPath.string(), std::string(kFoo)}});
    RemoteVersion remote = fooRelease();
    remote.sourceToken = "foo";
    remote.artifactType = "suite";
    const UpdateRun run = f.update(app, remote, /*dryRun=*/true);
    ASSERT_TRUE(run.result) << errorText(run);
    EXPECT_TRUE(run.result->success());
    EXPECT_EQ(run.result->message(), "dry-run: would run 'brew install --cask foo --force' (artifact=suite)");
    EXPECT_FALSE(run.result->backupURL());
    EXPECT_TRUE(run.texts.empty());
    EXPECT_TRUE(f.events().empty());
    EXPECT_EQ(f.tools.callCount("brew"), 0);
    EXPECT_FALSE(fs::exists(f.temporaryRoot()));
}

// ---- Dry run ----

TEST_F(EngineUpdateTest, DryRunChecksThenRecordsAndChangesNothing) {
    const RemoteVersion remote = fooRelease();
    const auto before = UpdateFixture::snapshot(installedPath);
    const UpdateRun run = f.update(app, remote, /*dryRun=*/true);
    ASSERT_TRUE(run.result) << errorText(run);
    EXPECT_EQ(run.result->message(),
              "dry-run: would download " + remote.downloadURL->text() + " and install");
    EXPECT_EQ(run.texts, (std::vector<std::string>{"Pre-flight"}));
    EXPECT_EQ(f.events(),
              (std::vector<Json>{line("download_finished", {{"bundleID", kFoo}, {"dryRun", true}})}));
    EXPECT_TRUE(f.server.requests().empty());
    EXPECT_TRUE(f.workDirs().empty());
    EXPECT_FALSE(fs::exists(f.cacheFile(kFoo, "2.0", "Foo.zip")));
    EXPECT_EQ(UpdateFixture::snapshot(installedPath), before);
    EXPECT_TRUE(f.tools.calls("ditto").empty());
    EXPECT_TRUE(f.telemetry->reports().empty());
}

TEST_F(EngineUpdateTest, DryRunFailsLikeARealRunWhenThePreflightDoes) {
    struct Case {
        std::string name;
        std::function<void(UpdateFixture&)> setup;
        std::string code, message;
    };
    const Case cases[] = {
        {"Running",
         [](UpdateFixture& fx) {
             fx.workspace.set({{4242, "/x/Foo.app", std::string(kFoo)}});
         },
         "ENV_APP_RUNNING", "Foo is running \u2014 quit before update"},
        {"DiskFull", [](UpdateFixture& fx) { fx.freeBytes = 10; }, "ENV_DISK_FULL", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateFixture fx;
        const InstalledApp installed = fx.installApp(fooBundle("1.0"));
        c.setup(fx);
        const RemoteVersion remote = fx.publish(fx.zipBundle(fooBundle("2.0")), "/dl/Foo.zip", "2.0");
        const UpdateRun run = fx.update(installed, remote, /*dryRun=*/true);
        ASSERT_TRUE(run.pelError()) << errorText(run);
        EXPECT_EQ(rawValue(run.pelError()->code()), c.code);
        if (!c.message.empty()) {
            EXPECT_EQ(run.pelError()->message(), c.message);
        }
        const auto lines = fx.events();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0]["event"], "install_result");
        EXPECT_EQ(lines[0]["code"], c.code);
        EXPECT_EQ(fx.telemetry->reports().size(), 1u);
        EXPECT_TRUE(fx.server.requests().empty());
        EXPECT_FALSE(fs::exists(fx.temporaryRoot()));
    }
}

// ---- Failures ----

struct FailureCase {
    std::string name;
    // Prepares the fixture and returns the release to install.
    std::function<RemoteVersion(UpdateFixture& fx, std::stop_source& stop)> setup;
    std::string code;
    std::string message; // exact, or with a trailing '*' a prefix
    bool pelError;
    std::vector<std::string> texts; // the progress texts, exactly
    std::function<void(const std::exception_ptr&)> checkType;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

template <class E> std::function<void(const std::exception_ptr&)> thrownAs() {
    return [](const std::exception_ptr& e) {
        try {
            std::rethrow_exception(e);
        } catch (const E&) {
            SUCCEED();
        } catch (...) {
            ADD_FAILURE() << "another exception type";
        }
    };
}

std::vector<FailureCase> failureCases() {
    std::vector<FailureCase> cases;
    cases.push_back({"NoDownloadURL",
                     [](UpdateFixture& fx, std::stop_source&) {
                         RemoteVersion r = publishedFoo(fx);
                         r.downloadURL.reset();
                         return r;
                     },
                     "UNS_ARCHIVE_FORMAT",
                     "no download URL",
                     true,
                     {},
                     thrownAs<PelError>()});
    cases.push_back({"DiskFull",
                     [](UpdateFixture& fx, std::stop_source&) {
                         fx.freeBytes = 1000;
                         RemoteVersion r = publishedFoo(fx);
                         r.sizeBytes = 5000;
                         return r;
                     },
                     "ENV_DISK_FULL",
                     "need ~15000 bytes free, have 1000",
                     true,
                     {"Pre-flight"},
                     thrownAs<PelError>()});
    cases.push_back({"NotFound",
                     [](UpdateFixture& fx, std::stop_source&) {
                         RemoteVersion r = publishedFoo(fx);
                         fx.server.script("/dl/Foo.zip", {Reply::withStatus(404, "gone")});
                         return r;
                     },
                     "NET_HTTP_5XX",
                     "download 404 *",
                     true,
                     {"Pre-flight", "Downloading Foo (0.0 MB)"},
                     thrownAs<PelError>()});
    cases.push_back({"UnknownFormat",
                     [](UpdateFixture& fx, std::stop_source&) {
                         pelsupport::writeText(fx.dir / "built/Foo.bin", "no archive at all");
                         return fx.publish(fx.dir / "built/Foo.bin", "/dl/Foo.bin", "2.0");
                     },
                     "UNS_ARCHIVE_FORMAT",
                     "unknown archive format: Foo.bin",
                     true,
                     {"Pre-flight", "Downloading Foo (0.0 MB)", "Extracting 0.0 MB"},
                     thrownAs<PelError>()});
    cases.push_back({"VerificationAbort",
                     [](UpdateFixture& fx, std::stop_source&) {
                         RemoteVersion r = publishedFoo(fx);
                         r.sizeBytes = *r.sizeBytes * 2;
                         return r;
                     },
                     "SRC_FEED_MALFORMED",
                     "size mismatch *",
                     true,
                     {"Pre-flight", "Downloading Foo (0.0 MB)"},
                     thrownAs<PelError>()});
    cases.push_back({"RefusedSwap",
                     [](UpdateFixture& fx, std::stop_source&) {
                         fx.setFileOps([](const platform::FileOps::Call& call) -> std::optional<int> {
                             if (call.op == platform::FileOps::Op::exchange ||
                                 call.op == platform::FileOps::Op::rename)
                                 return EPERM;
                             return std::nullopt;
                         });
                         return publishedFoo(fx);
                     },
                     "ENV_NOT_WRITABLE",
                     "macOS App Management permission required*",
                     true,
                     {"Pre-flight", "Downloading Foo (0.0 MB)", "Extracting 0.0 MB",
                      "Verifying signature + Team ID", "Installing (atomic swap)"},
                     thrownAs<PelError>()});
    cases.push_back({"CacheStoreBlocked",
                     [](UpdateFixture& fx, std::stop_source&) {
                         // A regular file where the version folder belongs.
                         pelsupport::writeText(fx.homeDir() / ".cache/pel/downloads/com.example.foo/2.0",
                                               "x");
                         return publishedFoo(fx);
                     },
                     "INT_UNEXPECTED",
                     "filesystem error: *",
                     false,
                     {"Pre-flight", "Downloading Foo (0.0 MB)"},
                     thrownAs<fs::filesystem_error>()});
    cases.push_back({"CancelledTransfer",
                     [](UpdateFixture& fx, std::stop_source& stop) {
                         std::string bytes(200'000, '\0');
                         for (std::size_t i = 0; i < bytes.size(); ++i)
                             bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
                         pelsupport::writeText(fx.dir / "built/Big.zip", bytes);
                         RemoteVersion r = fx.publish(fx.dir / "built/Big.zip", "/dl/Big.zip", "2.0");
                         Reply stall = Reply::fromFile(fx.dir / "built/Big.zip");
                         stall.stallAfter = 30'000;
                         fx.server.script("/dl/Big.zip", {stall});
                         fx.onBytes = [&stop](std::int64_t got, std::int64_t) {
                             if (got >= 30'000) stop.request_stop();
                         };
                         return r;
                     },
                     "INT_UNEXPECTED",
                     "cancelled",
                     false,
                     {"Pre-flight", "Downloading Foo (0.2 MB)"},
                     thrownAs<platform::Cancelled>()});
    cases.push_back({"HandOffFailed",
                     [](UpdateFixture& fx, std::stop_source&) {
                         pelsupport::installFakeBrew(fx.tools, pelsupport::FakeReply().withStatus(1).withErr(
                                                                   "Error: Cask 'foo' is unavailable\n"));
                         RemoteVersion r = publishedFoo(fx);
                         r.sourceToken = "foo";
                         r.artifactType = "installer";
                         return r;
                     },
                     "INT_UNEXPECTED",
                     "brew install failed: Error: Cask 'foo' is unavailable",
                     true,
                     {"Handing off to Homebrew (artifact=installer)", "brew install --cask foo --force"},
                     thrownAs<PelError>()});
    return cases;
}

class EngineUpdateFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(EngineUpdateFailure, IsRecordedOnceAndLeavesTheInstalledCopyAsItWas) {
    const FailureCase& c = GetParam();
    UpdateFixture fx;
    const InstalledApp installed = fx.installApp(fooBundle("1.0"));
    const auto before = UpdateFixture::snapshot(installed.path.filePath());
    std::stop_source stop;
    const RemoteVersion remote = c.setup(fx, stop);

    const UpdateRun run = fx.update(installed, remote, false, stop.get_token());
    ASSERT_TRUE(run.error) << "update succeeded";
    ASSERT_FALSE(run.result);
    c.checkType(run.error);
    EXPECT_EQ(run.texts, c.texts);

    const auto results = fx.events("install_result");
    ASSERT_EQ(results.size(), 1u);
    const Json& result = results[0];
    EXPECT_EQ(result.size(), 5u) << result.dump(); // bundleID, success, code, message, event
    EXPECT_EQ(result["bundleID"], kFoo);
    EXPECT_EQ(result["success"], false);
    EXPECT_EQ(result["code"], c.code);
    const std::string message = result["message"].get<std::string>();
    if (c.message.ends_with('*')) {
        EXPECT_TRUE(message.starts_with(c.message.substr(0, c.message.size() - 1))) << message;
    } else {
        EXPECT_EQ(message, c.message);
    }
    if (!c.pelError) {
        EXPECT_EQ(message, errorText(run)); // the error's own description
    }

    const auto reports = fx.telemetry->reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(rawValue(reports[0].error.code()), c.code);
    EXPECT_EQ(reports[0].error.message(), message);
    if (c.pelError) {
        EXPECT_EQ(reports[0].tags.at("installed"), "1.0");
        EXPECT_EQ(reports[0].tags.at("remote"), "2.0");
        EXPECT_EQ(run.pelError()->message(), message);
    } else {
        // Reported as the application's own internal error, with no extra tags.
        EXPECT_EQ(reports[0].tags,
                  (Tags{{"code", "INT_UNEXPECTED"}, {"class", "internalBug"}, {"bundleID", kFoo}}));
    }

    EXPECT_TRUE(fx.workDirs().empty());
    EXPECT_EQ(UpdateFixture::snapshot(installed.path.filePath()), before);
}

INSTANTIATE_TEST_SUITE_P(Each, EngineUpdateFailure, ::testing::ValuesIn(failureCases()),
                         [](const auto& info) { return info.param.name; });

TEST_F(EngineUpdateTest, AVerifierAbortGivesOneFailureLineAfterItsSteps) {
    const fs::path zip = f.zipBundle(fooBundle("2.0"));
    RemoteVersion remote = f.publish(zip, "/dl/Foo.zip", "2.0");
    remote.sha256 = std::string(64, 'a');
    const UpdateRun run = f.update(app, remote);
    ASSERT_TRUE(run.pelError());
    const auto lines = f.events();
    ASSERT_EQ(lines.size(), 5u); // started, finished, size, sha256, failure
    EXPECT_EQ(lines[2]["step"], "size");
    EXPECT_EQ(lines[3],
              line("verify_step",
                   {{"bundleID", kFoo},
                    {"step", "sha256"},
                    {"passed", false},
                    {"detail", platform::sha256HexOfFile(zip.string()) +
                                   " != " + std::string(64, 'a')}}));
    EXPECT_EQ(lines[4], line("install_result", {{"bundleID", kFoo},
                                                {"success", false},
                                                {"code", "SRC_HASH_MISMATCH"},
                                                {"message", "sha256 mismatch"}}));
    EXPECT_EQ(f.telemetry->reports()[0].tags, (Tags{{"code", "SRC_HASH_MISMATCH"},
                                                    {"class", "sourceDefect"},
                                                    {"bundleID", kFoo},
                                                    {"installed", "1.0"},
                                                    {"remote", "2.0"}}));
}

TEST_F(EngineUpdateTest, CancellationAfterTheTransferDoesNotStopTheLaterSteps) {
    const RemoteVersion remote = fooRelease();
    std::stop_source stop;
    f.onText = [&](const std::string& text) {
        if (text.starts_with("Extracting")) stop.request_stop();
    };
    const UpdateRun run = f.update(app, remote, false, stop.get_token());
    ASSERT_TRUE(run.result) << errorText(run);
    EXPECT_EQ(installedVersion(installedPath), "2.0");
}

// ---- Durations ----

// The clock steps 1234 ms inside one step: that step's line shows exactly 1234 (a difference of two
// absolute times as doubles shows 1233).
TEST_F(EngineUpdateTest, EachTimedStepRecordsTheExactMillisecondsOfItsClockReadings) {
    struct Case {
        std::string name;
        // Arranges for the clock to step inside the timed step; returns the release.
        std::function<RemoteVersion(UpdateFixture& fx)> setup;
        std::string event;
    };
    const auto step = [](UpdateFixture& fx) { fx.engineClock.advance(std::chrono::milliseconds(1234)); };
    const Case cases[] = {
        {"HandOff",
         [&](UpdateFixture& fx) {
             fx.onText = [&fx, step](const std::string& text) {
                 if (text.starts_with("brew install")) step(fx);
             };
             RemoteVersion r = publishedFoo(fx);
             r.sourceToken = "foo";
             r.artifactType = "installer";
             return r;
         },
         "install_result"},
        {"Transfer",
         [&](UpdateFixture& fx) {
             fx.onText = [&fx, step](const std::string& text) {
                 if (text.starts_with("Downloading")) step(fx);
             };
             return publishedFoo(fx);
         },
         "download_finished"},
        {"Installation",
         [&](UpdateFixture& fx) {
             auto stepped = std::make_shared<bool>(false);
             fx.setFileOps([&fx, step, stepped](const platform::FileOps::Call&) -> std::optional<int> {
                 if (!*stepped) step(fx);
                 *stepped = true;
                 return std::nullopt;
             });
             return publishedFoo(fx);
         },
         "install_result"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateFixture fx;
        const InstalledApp installed = fx.installApp(fooBundle("1.0"));
        const UpdateRun run = fx.update(installed, c.setup(fx));
        ASSERT_TRUE(run.result) << errorText(run);
        const auto lines = fx.events(c.event);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0]["durationMs"], 1234) << lines[0].dump();
    }
}

// ---- Download file names ----

TEST_F(EngineUpdateTest, FeedFileNamesNeverAddressAFolder) {
    fs::create_directories(f.temporaryRoot());
    pelsupport::writeText(f.temporaryRoot() / "sentinel", "keep");
    const fs::path zip = f.zipBundle(fooBundle("2.0"));
    struct Case {
        std::string urlPath;
        std::string fileName;
    };
    const Case cases[] = {
        {"/dl/", "download.bin"},           {"/dl/%2E%2E", "download.bin"}, {"/dl/.", "download.bin"},
        {"/dl/%2E%2E%2Fx.zip", ".._x.zip"}, {"/dl/%2E%2E%00", ".._"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.urlPath);
        const std::string version = "2." + std::to_string(n++);
        // The client squashes a plain "." segment; the server decodes the escaped ones.
        for (const std::string& p : {std::string("/dl/"), std::string("/dl/.."), std::string("/dl/../x.zip"),
                                     std::string("/dl/..\0", 7)})
            f.server.script(p, {Reply::fromFile(zip)});
        RemoteVersion remote;
        remote.source = AppSource::sparkle;
        remote.version = version;
        remote.downloadURL = Url::parse(f.server.baseUrl() + c.urlPath);
        ASSERT_TRUE(remote.downloadURL);
        const InstalledApp installed = f.installApp(fooBundle("1.0"));
        const UpdateRun run = f.update(installed, remote);
        // The release says 2.n while the bundle says 2.0; only the name matters here.
        EXPECT_TRUE(fs::is_regular_file(f.cacheFile(kFoo, version, c.fileName)))
            << errorText(run) << " " << f.server.requests().back().path;
        EXPECT_EQ(pelsupport::readText(f.temporaryRoot() / "sentinel"), "keep");
        EXPECT_EQ(f.workDirs(), (std::vector<fs::path>{f.temporaryRoot() / "sentinel"}));
    }
}

TEST_F(EngineUpdateTest, ADownloadNamedLikeTheExtractionFolderStillInstalls) {
    const UpdateRun run = f.update(app, fooRelease("/dl/extracted"));
    ASSERT_TRUE(run.result) << errorText(run);
    EXPECT_EQ(installedVersion(installedPath), "2.0");
}

// ---- Concurrency ----

TEST_F(EngineUpdateTest, TwoApplicationsUpdateAtOnceEachInItsOwnDirectory) {
    const InstalledApp bar =
        f.installApp(BundleBuilder("Bar.app").bundleID("com.example.bar").name("Bar").shortVersion("1.0"));
    const RemoteVersion fooRemote = fooRelease();
    const RemoteVersion barRemote = f.publish(
        f.zipBundle(BundleBuilder("Bar.app").bundleID("com.example.bar").name("Bar").shortVersion("2.0"),
                    "Bar.zip"),
        "/dl/Bar.zip", "2.0");

    UpdateRun fooRun, barRun;
    std::thread a([&] { fooRun = f.update(app, fooRemote); });
    std::thread b([&] { barRun = f.update(bar, barRemote); });
    a.join();
    b.join();
    ASSERT_TRUE(fooRun.result) << errorText(fooRun);
    ASSERT_TRUE(barRun.result) << errorText(barRun);
    EXPECT_EQ(installedVersion(installedPath), "2.0");
    EXPECT_EQ(installedVersion(bar.path.filePath()), "2.0");

    // Each extraction went into the "extracted" folder of its own work directory.
    std::set<std::string> workDirs;
    for (const auto& call : f.tools.calls("ditto")) {
        if (call.args.size() == 5 && call.args[0] == "-x") {
            const fs::path into(call.args[4]);
            EXPECT_EQ(into.filename(), "extracted");
            EXPECT_EQ(into.parent_path().parent_path(), f.temporaryRoot());
            workDirs.insert(into.parent_path().string());
        }
    }
    EXPECT_EQ(workDirs.size(), 2u);
    EXPECT_TRUE(f.workDirs().empty());
    EXPECT_EQ(f.events("install_result").size(), 2u);
}

} // namespace
