// Engine::sweepLeftovers: what crashed, killed or timed-out runs left behind.

#include "PelKit/Engine.hpp"

#include "PelKit/Downloads.hpp"
#include "PelKit/Leftovers.hpp"
#include "Support/ArchiveBuilder.hpp"
#include "Support/FakeDiskTools.hpp"
#include "Support/UpdateFixture.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <thread>

using namespace pelkit;
namespace fs = std::filesystem;
using pelsupport::BundleBuilder;
using pelsupport::UpdateFixture;
using pelsupport::UpdateRun;

namespace {

constexpr const char* kUuid = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9";
constexpr const char* kOtherUuid = "11111111-2222-4333-8444-555555555555";

// Sets the entry's own modification time to `ageSeconds` before the clock's now.
void age(const fs::path& p, const platform::Clock& clock, double ageSeconds) {
    const double at = platform::toSeconds(clock.now()) - ageSeconds;
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(at);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << p;
}

fs::path folderWithContent(const fs::path& p) {
    pelsupport::writeText(p / "extracted/Foo.app/Contents/Info.plist", "x");
    return p;
}

fs::path written(const fs::path& p, const std::string& text) {
    pelsupport::writeText(p, text);
    return p;
}

bool present(const fs::path& p) {
    std::error_code ec;
    return fs::symlink_status(p, ec).type() != fs::file_type::not_found;
}

constexpr double kHour = 3600;

TEST(EngineSweep, RemovesOnlyLeftoversOlderThanAnHour) {
    UpdateFixture f;
    const auto& clock = f.engineClock;
    const fs::path tmp = f.temporaryRoot();
    const fs::path cache = fs::path(DownloadCache::root().filePath()) / "com.example.foo/2.0";

    struct Entry {
        fs::path path;
        double ageSeconds;
        bool removed;
    };
    const std::vector<Entry> entries = {
        {folderWithContent(tmp / (std::string("pel-") + kUuid)), 2 * kHour, true},
        {folderWithContent(tmp / (std::string("pel-admin-") + kOtherUuid)), 2 * kHour, true},
        {folderWithContent(tmp / (std::string("pel-") + kOtherUuid)), 0.5 * kHour, false}, // may be running
        {folderWithContent(tmp / "pel-not-a-uuid"), 2 * kHour, false},
        {folderWithContent(tmp / "pel-0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9"), 2 * kHour, false},
        {folderWithContent(tmp / "someone-elses"), 2 * kHour, false},
        {written(cache / ".pel-store-a1B2c3", "partial"), 2 * kHour, true},
        {written(cache / ".pel-store-d4E5f6", "partial"), 0.5 * kHour, false},
        {written(cache / "Foo.zip", "a whole download"), 48 * kHour, false},
    };
    for (const Entry& e : entries)
        age(e.path, clock, e.ageSeconds);
    // A link named like a work folder is not one: neither it nor what it points at is touched.
    const fs::path elsewhere = folderWithContent(f.dir / "elsewhere");
    fs::create_symlink(elsewhere, tmp / (std::string("pel-") + "22222222-3333-4444-8555-666666666666"));
    age(tmp / "pel-22222222-3333-4444-8555-666666666666", clock, 2 * kHour);

    f.engine->sweepLeftovers();

    for (const Entry& e : entries)
        EXPECT_EQ(present(e.path), !e.removed) << e.path;
    EXPECT_TRUE(present(elsewhere / "extracted/Foo.app/Contents/Info.plist"));
    EXPECT_TRUE(present(tmp / "pel-22222222-3333-4444-8555-666666666666"));
    // Nothing was attached: no tool is asked.
    EXPECT_TRUE(f.tools.calls().empty());
}

TEST(EngineSweep, WithNothingToSweepItNeitherFailsNorRunsATool) {
    UpdateFixture f;
    f.engine->sweepLeftovers(); // no temporary root, cache or records yet
    fs::create_directories(f.temporaryRoot());
    f.engine->sweepLeftovers();
    EXPECT_TRUE(f.tools.calls().empty());
}

TEST(EngineSweep, FoldersOfAnUpdateRunningInThisProcessAreLeftAlone) {
    UpdateFixture f;
    const InstalledApp app = f.installApp(BundleBuilder("Foo.app").bundleID("com.example.foo").shortVersion("1.0"));
    const RemoteVersion remote = f.publish(
        f.zipBundle(BundleBuilder("Foo.app").bundleID("com.example.foo").shortVersion("2.0")), "/dl/Foo.zip", "2.0");

    // Held at its swap, the update's work folder looks two hours old.
    std::vector<fs::path> seen;
    f.onText = [&](const std::string& text) {
        if (text != "Installing (atomic swap)") return;
        for (const fs::path& dir : f.workDirs())
            age(dir, f.engineClock, 2 * kHour);
        std::thread sweeper([&] { f.engine->sweepLeftovers(); });
        sweeper.join();
        seen = f.workDirs();
    };
    const UpdateRun run = f.update(app, remote);
    ASSERT_TRUE(run.result);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].filename().string().starts_with("pel-"));
}

// ---- Disk images ----

class EngineSweepImages : public ::testing::Test {
protected:
    void SetUp() override {
        pelsupport::writeText(f.dir / "volume/Foo.app/Contents/Info.plist", "x");
        image = pelsupport::buildDiskImage(f.dir / "volume", f.dir / "Foo.dmg");
    }

    // Extraction with an attach that outlives its (shortened) time-out.
    void extractWithStalledAttach() {
        const pelkit::testing::ScopedToolTimeout shortAttach([](const std::string& path, double requested) {
            return path.ends_with("/hdiutil") && requested == 120 ? 3.0 : requested;
        });
        EXPECT_ANY_THROW(Installer::extractDMG(Url::fromFilePath(image.string()),
                                               Url::fromFilePath((f.dir / "out").string())));
    }

    std::vector<fs::path> records() const {
        std::vector<fs::path> out;
        std::error_code ec;
        for (fs::directory_iterator it(leftovers::attachRecordsDir(), ec), end; !ec && it != end; it.increment(ec))
            out.push_back(it->path());
        return out;
    }

    UpdateFixture f;
    fs::path image;
};

TEST_F(EngineSweepImages, AnAttachThatTimesOutIsDetachedAtOnce) {
    pelsupport::installFakeHdiutil(f.tools, {pelsupport::HdiutilMode::attachOutlivesTimeOut});
    extractWithStalledAttach();
    EXPECT_TRUE(pelsupport::attachedImages(f.tools).empty());
    EXPECT_TRUE(pelsupport::attachedMountPoints(f.tools).empty());
    EXPECT_TRUE(records().empty());
}

TEST_F(EngineSweepImages, AnImageThatCouldNotBeDetachedThenIsDetachedByALaterSweep) {
    pelsupport::HdiutilOptions stuck;
    stuck.mode = pelsupport::HdiutilMode::attachOutlivesTimeOut;
    stuck.detachFails = true;
    pelsupport::installFakeHdiutil(f.tools, stuck);
    extractWithStalledAttach();
    ASSERT_EQ(pelsupport::attachedImages(f.tools).size(), 1u);
    const auto kept = records();
    ASSERT_EQ(kept.size(), 1u);

    // A later start: a record under an hour old may be an attach still running.
    pelsupport::installFakeHdiutil(f.tools);
    f.tools.clearCalls();
    age(kept[0], f.engineClock, 0.5 * kHour);
    f.engine->sweepLeftovers();
    EXPECT_EQ(pelsupport::attachedImages(f.tools).size(), 1u);
    EXPECT_TRUE(f.tools.calls().empty());

    age(kept[0], f.engineClock, 2 * kHour);
    f.engine->sweepLeftovers();
    EXPECT_TRUE(pelsupport::attachedImages(f.tools).empty());
    EXPECT_TRUE(pelsupport::attachedMountPoints(f.tools).empty());
    EXPECT_TRUE(records().empty());
    // Only images attached from the recorded file are detached.
    for (const std::string& target : pelsupport::detachedTargets(f.tools))
        EXPECT_TRUE(target.starts_with("/dev/disk")) << target;
}

TEST_F(EngineSweepImages, ANormalExtractionLeavesNoRecord) {
    pelsupport::installFakeHdiutil(f.tools);
    Installer::extractDMG(Url::fromFilePath(image.string()), Url::fromFilePath((f.dir / "out").string()));
    EXPECT_TRUE(records().empty());
    EXPECT_TRUE(pelsupport::attachedImages(f.tools).empty());
}

} // namespace
