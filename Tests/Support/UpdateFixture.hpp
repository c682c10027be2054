#pragma once

// Everything an end-to-end update needs, in one object: a temporary home and temporary root, an
// application folder with installed fixture bundles, the HTTPS test server serving built
// archives, the fake tools of every step (codesign, spctl, ditto, hdiutil, xattr, mdls,
// osascript, pkgutil, installer, brew), a recording telemetry sink, a journal read back after
// flush(), its own HTTP client and an Engine whose seams point at all of it.
//
//     pelsupport::UpdateFixture f;
//     auto app = f.installApp(BundleBuilder("Foo.app").bundleID("com.example.foo").shortVersion("1.0"));
//     auto zip = f.zipBundle(BundleBuilder("Foo.app").bundleID("com.example.foo").shortVersion("2.0"));
//     auto remote = f.publish(zip, "/dl/Foo.zip", "2.0");        // size and SHA-256 set
//     auto run = f.update(app, remote);
//     EXPECT_TRUE(run.result);
//     EXPECT_EQ(run.texts.front(), "Pre-flight");
//     EXPECT_EQ(f.events().back()["event"], "install_result");
//
// The engine's clock never moves, so every "durationMs" is 0. Each fixture lives in its own
// mkdtemp folder and leaves nothing behind.

#include "PelKit/Config.hpp"
#include "PelKit/DB.hpp"
#include "PelKit/Engine.hpp"
#include "PelKit/HTTP.hpp"
#include "PelKit/Journal.hpp"
#include "PelKit/Telemetry.hpp"
#include "Platform/FileOps.hpp"
#include "Platform/Workspace.hpp"
#include "Support/BundleBuilder.hpp"
#include "Support/FakeBundleTools.hpp"
#include "Support/FakeTools.hpp"
#include "Support/ScriptedWorkspace.hpp"
#include "Support/TempDir.hpp"
#include "Support/TestServer.hpp"
#include "Support/VirtualSleeper.hpp"

#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace pelsupport {

// Keeps every error report, from any thread.
class RecordingTelemetry final : public pelkit::TelemetrySink {
public:
    struct Report {
        pelkit::PelError error;
        pelkit::Tags tags;
    };
    void captureError(const pelkit::PelError& error, const pelkit::Tags& tags) override;
    void breadcrumb(const std::string&, const std::string&, const pelkit::Json&) override {}
    std::vector<Report> reports() const;

private:
    mutable std::mutex mutex_;
    std::vector<Report> reports_;
};

// What one call of Engine::update produced.
struct UpdateRun {
    std::optional<pelkit::InstallResult> result;
    std::exception_ptr error; // set when update threw
    std::vector<std::string> texts;
    std::vector<std::pair<std::int64_t, std::int64_t>> bytes;

    // The PelError thrown, when it was one.
    std::optional<pelkit::PelError> pelError() const;
};

class UpdateFixture {
public:
    UpdateFixture();
    ~UpdateFixture();
    UpdateFixture(const UpdateFixture&) = delete;
    UpdateFixture& operator=(const UpdateFixture&) = delete;

    TempDir dir{"pel-update"};

private:
    pelkit::testing::ScopedHomeOverride home_;
    platform::ManualClock dbClock_;
    pelkit::DB db_;

public:
    FakeTools tools;
    FakeBundleTools fakes{tools};
    TestServer server;
    platform::ManualClock httpClock;
    VirtualSleeper sleeper{httpClock};
    std::unique_ptr<pelkit::HTTP> http;
    platform::ManualClock engineClock;
    platform::ManualClock journalClock;
    FixedWorkspace workspace;
    std::atomic<std::int64_t> freeBytes{std::int64_t{1} << 40};
    // When set, asked before each write of a download (HTTPOptions::downloadWriteFault); set it
    // before the update starts.
    std::function<std::optional<int>(std::int64_t size)> downloadWriteFault;
    std::shared_ptr<RecordingTelemetry> telemetry = std::make_shared<RecordingTelemetry>();
    std::unique_ptr<pelkit::Journal> journal;
    std::unique_ptr<pelkit::Overrides> overrides;
    std::unique_ptr<pelkit::Engine> engine;
    // Called from the update's callbacks, after the text or byte count has been kept.
    std::function<void(const std::string& text)> onText;
    std::function<void(std::int64_t got, std::int64_t expected)> onBytes;

    std::filesystem::path applications() const { return dir / "Applications"; }
    // Where the engine makes its work directories.
    std::filesystem::path temporaryRoot() const { return dir / "tmp"; }
    std::filesystem::path homeDir() const { return dir / "home"; }

    // The engine again, with these overrides (entries by bundle identifier) and file operations.
    void setOverrides(std::map<std::string, pelkit::OverrideEntry> apps);
    void setFileOps(platform::FileOps::FaultHook hook);
    // When set, the installer sees the installed bundles as not writable by the user.
    void setWritable(bool writable);

    // Builds the bundle into applications() and reads it as the scanner would.
    pelkit::InstalledApp installApp(const BundleBuilder& bundle);

    // Archives of one bundle (or package) at the top, built under dir()/"built".
    std::filesystem::path zipBundle(const BundleBuilder& bundle, const std::string& name = "Foo.zip");
    std::filesystem::path tarGzBundle(const BundleBuilder& bundle, const std::string& name = "Foo.tar.gz");
    std::filesystem::path diskImageBundle(const BundleBuilder& bundle, const std::string& name = "Foo.dmg");
    // A zip of the bundle with a stored resource sized so the archive is exactly `size` bytes.
    std::filesystem::path zipBundleOfSize(BundleBuilder bundle, std::int64_t size,
                                          const std::string& name = "Foo.zip");
    // A zip or disk-image stand-in holding the file `item` (a package, say) at the top.
    std::filesystem::path zipFile(const std::filesystem::path& item, const std::string& name);
    std::filesystem::path diskImageFile(const std::filesystem::path& item, const std::string& name);

    // Serves `file` at `path` and describes it as a release of `version`: source Homebrew, its
    // size and SHA-256 published, no token, no artifact type.
    pelkit::RemoteVersion publish(const std::filesystem::path& file, const std::string& path,
                                  const std::string& version);

    UpdateRun update(const pelkit::InstalledApp& app, const pelkit::RemoteVersion& remote,
                     bool dryRun = false, std::stop_token stop = {});

    // Journal records in order, without "ts", "run" and "schemaVersion".
    std::vector<pelkit::Json> events();
    // Only the records of this event.
    std::vector<pelkit::Json> events(const std::string& name);

    // What is left in temporaryRoot() (it need not exist).
    std::vector<std::filesystem::path> workDirs() const;
    std::filesystem::path cacheFile(const std::string& bundleID, const std::string& version,
                                    const std::string& filename) const;

    // Names, types, sizes, modes and contents of everything under `root`.
    static std::map<std::string, std::string> snapshot(const std::filesystem::path& root);

private:
    void rebuildEngine();
    std::filesystem::path packFolder();

    std::map<std::string, pelkit::OverrideEntry> overrideApps_;
    std::unique_ptr<platform::FileOps> fileOps_;
    std::optional<bool> writable_;
    int packs_ = 0;
};

} // namespace pelsupport
