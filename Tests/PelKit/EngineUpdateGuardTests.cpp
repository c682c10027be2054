// The engine's update guards: one update per application at a time, cask tokens that `brew` could
// misread, which failures drop the cached download, and hostile downloads (bundles with links out
// of them, a disk image asking for its licence).

#include "PelKit/Engine.hpp"

#include "PelKit/BundleReader.hpp"
#include "Support/ArchiveBuilder.hpp"
#include "Support/FakeDiskTools.hpp"
#include "Support/FakeInstallTools.hpp"
#include "Support/ScopedStandardInput.hpp"
#include "Support/UpdateFixture.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <thread>

using namespace pelkit;
namespace fs = std::filesystem;
using pelsupport::BundleBuilder;
using pelsupport::Reply;
using pelsupport::UpdateFixture;
using pelsupport::UpdateRun;

namespace {

constexpr const char* kFoo = "com.example.foo";

BundleBuilder fooBundle(const std::string& version) {
    return BundleBuilder("Foo.app").bundleID(kFoo).name("Foo").shortVersion(version).buildVersion("1");
}

std::optional<std::string> installedVersion(const InstalledApp& app) {
    return BundleReader::read(app.path).shortVersion;
}

// ---- One update of an application at a time ----

TEST(EngineUpdateGuard, ASecondUpdateOfTheSameApplicationWhileOneRunsIsRefusedAndTouchesNothing) {
    UpdateFixture f;
    const InstalledApp app = f.installApp(fooBundle("1.0"));
    const RemoteVersion remote = f.publish(f.zipBundle(fooBundle("2.0")), "/dl/Foo.zip", "2.0");

    // The first update is held just before its swap while the second one runs to its end.
    std::optional<UpdateRun> second;
    std::size_t requestsBefore = 0, requestsAfter = 0;
    std::vector<fs::path> dirsBefore, dirsAfter;
    std::size_t callsBefore = 0, callsAfter = 0;
    f.onText = [&](const std::string& text) {
        if (text != "Installing (atomic swap)" || second) return;
        requestsBefore = f.server.requests().size();
        dirsBefore = f.workDirs();
        callsBefore = f.tools.calls().size();
        std::thread other([&] { second = f.update(app, remote); });
        other.join();
        requestsAfter = f.server.requests().size();
        dirsAfter = f.workDirs();
        callsAfter = f.tools.calls().size();
    };
    const UpdateRun first = f.update(app, remote);
    f.onText = nullptr;

    ASSERT_TRUE(first.result);
    ASSERT_TRUE(second);
    ASSERT_TRUE(second->pelError());
    EXPECT_EQ(second->pelError()->code(), ErrorCode::INT_UNEXPECTED);
    EXPECT_EQ(second->pelError()->message(), "an update of com.example.foo is already running");
    EXPECT_TRUE(second->texts.empty());
    EXPECT_EQ(requestsAfter, requestsBefore);
    EXPECT_EQ(dirsAfter, dirsBefore);
    EXPECT_EQ(callsAfter, callsBefore);
    EXPECT_EQ(installedVersion(app), "2.0");

    // Recorded like any failure; the first update's own line follows.
    const auto results = f.events("install_result");
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0]["message"], "an update of com.example.foo is already running");
    EXPECT_EQ(results[1]["success"], true);

    // Done or failed, the application may be updated again.
    RemoteVersion missing = remote;
    missing.downloadURL = f.server.url("/dl/missing.zip");
    EXPECT_TRUE(f.update(app, missing).error);
    EXPECT_TRUE(f.update(f.installApp(fooBundle("1.0")), remote).result);
}

TEST(EngineUpdateGuard, UpdatesOfDifferentApplicationsStillOverlap) {
    UpdateFixture f;
    const InstalledApp foo = f.installApp(fooBundle("1.0"));
    const InstalledApp bar =
        f.installApp(BundleBuilder("Bar.app").bundleID("com.example.bar").name("Bar").shortVersion("1.0"));
    const RemoteVersion fooRemote = f.publish(f.zipBundle(fooBundle("2.0")), "/dl/Foo.zip", "2.0");
    const RemoteVersion barRemote = f.publish(
        f.zipBundle(BundleBuilder("Bar.app").bundleID("com.example.bar").name("Bar").shortVersion("2.0"),
                    "Bar.zip"),
        "/dl/Bar.zip", "2.0");

    std::optional<UpdateRun> other;
    f.onText = [&](const std::string& text) {
        if (text != "Installing (atomic swap)" || other) return;
        std::thread t([&] { other = f.update(bar, barRemote); });
        t.join();
    };
    const UpdateRun first = f.update(foo, fooRemote);
    ASSERT_TRUE(first.result);
    ASSERT_TRUE(other);
    EXPECT_TRUE(other->result);
    EXPECT_EQ(installedVersion(bar), "2.0");
}

// ---- Cask tokens ----

TEST(EngineUpdateGuard, ACaskTokenBrewWouldReadAsAnOptionIsRefusedAndRecorded) {
    for (bool dryRun : {false, true}) {
        SCOPED_TRACE(dryRun ? "dry run" : "real run");
        UpdateFixture f;
        pelsupport::installFakeBrew(f.tools);
        const InstalledApp app = f.installApp(fooBundle("1.0"));
        RemoteVersion remote = f.publish(f.zipBundle(fooBundle("2.0")), "/dl/Foo.zip", "2.0");
        remote.sourceToken = "--appdir=/tmp/elsewhere";
        remote.artifactType = "installer";

        const UpdateRun run = f.update(app, remote, dryRun);
        ASSERT_TRUE(run.pelError());
        EXPECT_EQ(run.pelError()->code(), ErrorCode::UNS_ARCHIVE_FORMAT);
        EXPECT_EQ(run.pelError()->message(), "unusable cask token");
        EXPECT_EQ(f.tools.callCount("brew"), 0);
        const auto results = f.events("install_result");
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0]["code"], "UNS_ARCHIVE_FORMAT");
        EXPECT_EQ(results[0]["message"], "unusable cask token");
        EXPECT_EQ(f.telemetry->reports().size(), 1u);
    }
}

// ---- Which failures drop the cached download ----

struct EvictionCase {
    std::string name;
    // Publishes the release and sets up the failure; the download is cached as `filename`.
    std::function<RemoteVersion(UpdateFixture&)> setup;
    std::string filename;
    ErrorCode code;
    bool evicted;
};

void PrintTo(const EvictionCase& c, std::ostream* os) {
    *os << c.name;
}

RemoteVersion withoutSizeAndHash(RemoteVersion r) {
    r.sizeBytes.reset();
    r.sha256.reset();
    return r;
}

std::vector<EvictionCase> evictionCases() {
    const std::string errorPage = "<html><body>503 Service Unavailable</body></html>\n";
    auto page = [errorPage](UpdateFixture& fx, const std::string& name) {
        pelsupport::writeText(fx.dir / "built" / name, errorPage);
        return withoutSizeAndHash(fx.publish(fx.dir / "built" / name, "/dl/" + name, "2.0"));
    };
    return {
        {"ErrorPageOfNoFormat", [=](UpdateFixture& fx) { return page(fx, "Foo.bin"); }, "Foo.bin",
         ErrorCode::UNS_ARCHIVE_FORMAT, true},
        {"ErrorPageNamedZip", [=](UpdateFixture& fx) { return page(fx, "Foo.zip"); }, "Foo.zip",
         ErrorCode::UNS_ARCHIVE_FORMAT, true},
        {"ErrorPageNamedDmg",
         [=](UpdateFixture& fx) {
             pelsupport::installFakeHdiutil(fx.tools, {pelsupport::HdiutilMode::attachFails});
             return page(fx, "Foo.dmg");
         },
         "Foo.dmg", ErrorCode::ENV_MOUNT_FAILED, true},
        {"SizeRefused",
         [](UpdateFixture& fx) {
             RemoteVersion r = fx.publish(fx.zipBundle(fooBundle("2.0")), "/dl/Foo.zip", "2.0");
             r.sha256.reset();
             r.sizeBytes = *r.sizeBytes * 2;
             return r;
         },
         "Foo.zip", ErrorCode::SRC_FEED_MALFORMED, true},
        {"HashRefused",
         [](UpdateFixture& fx) {
             RemoteVersion r = fx.publish(fx.zipBundle(fooBundle("2.0")), "/dl/Foo.zip", "2.0");
             r.sha256 = std::string(64, '0');
             return r;
         },
         "Foo.zip", ErrorCode::SRC_HASH_MISMATCH, true},
        {"TeamIDRefused",
         [](UpdateFixture& fx) {
             RemoteVersion r = fx.publish(fx.zipBundle(fooBundle("2.0")), "/dl/Foo.zip", "2.0");
             fx.fakes.defaultCodesign(pelsupport::FakeBundleTools::codesignDisplayReply("ZZZZZ99999"));
             return r;
         },
         "Foo.zip", ErrorCode::SEC_TEAMID_MISMATCH, true},
        {"UnsignedPackage",
         [](UpdateFixture& fx) {
             const fs::path pkg = pelsupport::buildPkg(
                 pelsupport::PkgStandIn().withPkgutil(pelsupport::pkgutilStatus("signed by untrusted certificate")),
                 fx.dir / "built/Foo.pkg");
             return fx.publish(pkg, "/dl/Foo.pkg", "2.0");
         },
         "Foo.pkg", ErrorCode::SEC_SIGNATURE_INVALID, true},
        {"SwapRefused",
         [](UpdateFixture& fx) {
             fx.setFileOps([](const platform::FileOps::Call& call) -> std::optional<int> {
                 if (call.op != platform::FileOps::Op::remove) return EPERM;
                 return std::nullopt;
             });
             return withoutSizeAndHash(fx.publish(fx.zipBundle(fooBundle("2.0")), "/dl/Foo.zip", "2.0"));
         },
         "Foo.zip", ErrorCode::ENV_NOT_WRITABLE, false},
        {"AdministratorPromptRefused",
         [](UpdateFixture& fx) {
             fx.setWritable(false);
             pelsupport::installDecodingOsascript(fx.tools, {pelsupport::OsascriptMode::cancel});
             return withoutSizeAndHash(fx.publish(fx.zipBundle(fooBundle("2.0")), "/dl/Foo.zip", "2.0"));
         },
         "Foo.zip", ErrorCode::ENV_NOT_WRITABLE, false},
        {"PackagePromptRefused",
         [](UpdateFixture& fx) {
             pelsupport::installDecodingOsascript(fx.tools, {pelsupport::OsascriptMode::cancel});
             const fs::path pkg = pelsupport::buildPkg(pelsupport::PkgStandIn(), fx.dir / "built/Foo.pkg");
             return fx.publish(pkg, "/dl/Foo.pkg", "2.0");
         },
         "Foo.pkg", ErrorCode::ENV_NOT_WRITABLE, false},
    };
}

class EngineUpdateEviction : public ::testing::TestWithParam<EvictionCase> {};

TEST_P(EngineUpdateEviction, OnlyAFailureOfTheFileItselfDropsTheCachedCopy) {
    const EvictionCase& c = GetParam();
    UpdateFixture f;
    const InstalledApp app = f.installApp(fooBundle("1.0"));
    const RemoteVersion remote = c.setup(f);
    const std::string path = remote.downloadURL->path();

    const UpdateRun first = f.update(app, remote);
    ASSERT_TRUE(first.pelError()) << "update did not fail with a PelError";
    EXPECT_EQ(first.pelError()->code(), c.code) << first.pelError()->message();
    EXPECT_EQ(fs::exists(f.cacheFile(kFoo, "2.0", c.filename)), !c.evicted);

    // The retry downloads afresh only when the copy was dropped.
    const std::size_t requests = f.server.requests(path).size();
    f.update(app, remote);
    EXPECT_EQ(f.server.requests(path).size(), requests + (c.evicted ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(Each, EngineUpdateEviction, ::testing::ValuesIn(evictionCases()),
                         [](const auto& info) { return info.param.name; });

TEST(EngineUpdateGuard, AnErrorPageServedOnceNoLongerBlocksEveryRetry) {
    // A feed without size and hash: the cache would serve any copy for a day.
    UpdateFixture f;
    const InstalledApp app = f.installApp(fooBundle("1.0"));
    const fs::path zip = f.zipBundle(fooBundle("2.0"));
    const RemoteVersion remote = withoutSizeAndHash(f.publish(zip, "/dl/Foo.zip", "2.0"));
    f.server.script("/dl/Foo.zip", {Reply::ok("<html>try again later</html>\n"), Reply::fromFile(zip)});

    EXPECT_EQ(f.update(app, remote).pelError()->code(), ErrorCode::UNS_ARCHIVE_FORMAT);
    const UpdateRun retry = f.update(app, remote);
    ASSERT_TRUE(retry.result);
    EXPECT_EQ(installedVersion(app), "2.0");
    EXPECT_EQ(f.server.requests("/dl/Foo.zip").size(), 2u);
}

// ---- Hostile downloads ----

void replaceByLink(const fs::path& target, const fs::path& at) {
    fs::remove_all(at);
    fs::create_directories(at.parent_path());
    fs::create_symlink(target, at);
}

// A link beside the bundle at the archive's top, into the bundle's resources, where a genuine
// Info.plist and data lie: through it, a link that leaves the bundle reaches, where the archive was
// unpacked, a file of the bundle's own. Installed, the same link leads out of the bundle.
void hopBeside(const fs::path& bundle) {
    replaceByLink(bundle.filename() / "Contents/Resources", bundle.parent_path() / "hop");
    fs::create_directories(bundle / "Contents/Resources");
    fs::copy_file(bundle / "Contents/Info.plist", bundle / "Contents/Resources/Info.plist");
    pelsupport::writeText(bundle / "Contents/Resources/data", "data");
}

TEST(EngineUpdateGuard, ABundleWithALinkOutOfItNeverReplacesTheInstalledCopy) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& bundle, const fs::path& elsewhere)> spoil;
        ErrorCode code;
        std::string message;
        std::string installedAs; // the installed copy's folder name
    };
    // `elsewhere` holds a genuine Foo 2.0 that every check would accept when read through a link.
    const std::vector<Case> cases = {
        {"Info.plist linked to a file outside",
         [](const fs::path& b, const fs::path& elsewhere) {
             replaceByLink(elsewhere / "Foo.app/Contents/Info.plist", b / "Contents/Info.plist");
         },
         ErrorCode::SEC_BUNDLEID_CHANGED, "bundle entry Contents/Info.plist resolves outside the bundle",
         "Foo.app"},
        {"Contents linked to a folder outside",
         [](const fs::path& b, const fs::path& elsewhere) {
             replaceByLink(elsewhere / "Foo.app/Contents", b / "Contents");
         },
         ErrorCode::SEC_BUNDLEID_CHANGED, "bundle entry Contents resolves outside the bundle", "Foo.app"},
        {"a resource linked to a folder outside",
         [](const fs::path& b, const fs::path& elsewhere) {
             replaceByLink(elsewhere, b / "Contents/Resources/shared");
         },
         ErrorCode::UNS_ARCHIVE_FORMAT, "bundle entry Contents/Resources/shared resolves outside the bundle",
         "Foo.app"},
        {"a resource through a link beside the bundle",
         [](const fs::path& b, const fs::path&) {
             hopBeside(b);
             replaceByLink("../../../hop/data", b / "Contents/Resources/a");
         },
         ErrorCode::UNS_ARCHIVE_FORMAT, "bundle entry Contents/Resources/a resolves outside the bundle",
         "Foo.app"},
        {"Info.plist through a link beside the bundle",
         [](const fs::path& b, const fs::path&) {
             hopBeside(b);
             replaceByLink("../../hop/Info.plist", b / "Contents/Info.plist");
         },
         ErrorCode::SEC_BUNDLEID_CHANGED, "bundle entry Contents/Info.plist resolves outside the bundle",
         "Foo.app"},
        {"Info.plist through the bundle's own name, installed under another",
         [](const fs::path& b, const fs::path&) {
             hopBeside(b);
             replaceByLink("../../Foo.app/Contents/Resources/Info.plist", b / "Contents/Info.plist");
         },
         ErrorCode::SEC_BUNDLEID_CHANGED, "bundle entry Contents/Info.plist resolves outside the bundle",
         "Bar.app"},
        {"info.plist in lower case linked to a file outside",
         [](const fs::path& b, const fs::path& elsewhere) {
             replaceByLink(elsewhere / "Foo.app/Contents/Info.plist", b / "Contents/info.plist");
         },
         ErrorCode::SEC_BUNDLEID_CHANGED, "bundle entry Contents/info.plist resolves outside the bundle",
         "Foo.app"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateFixture f;
        const InstalledApp app = f.installApp(
            BundleBuilder(c.installedAs).bundleID(kFoo).name("Foo").shortVersion("1.0").buildVersion("1"));
        const auto before = UpdateFixture::snapshot(app.path.filePath());
        const fs::path elsewhere = f.dir / "elsewhere";
        fooBundle("2.0").build(elsewhere);
        const auto elsewhereBefore = UpdateFixture::snapshot(elsewhere);

        const fs::path tree = f.dir / "tree";
        const fs::path bundle = fooBundle("2.0").build(tree);
        c.spoil(bundle, elsewhere);
        const RemoteVersion remote =
            f.publish(pelsupport::buildZip(tree, f.dir / "built/Foo.zip"), "/dl/Foo.zip", "2.0");

        f.tools.clearCalls(); // reading the installed copy ran codesign
        const UpdateRun run = f.update(app, remote);
        if (!run.pelError()) {
            ADD_FAILURE() << "the update did not fail with a PelError";
            continue;
        }
        EXPECT_EQ(run.pelError()->code(), c.code) << run.pelError()->message();
        EXPECT_EQ(run.pelError()->message(), c.message);
        EXPECT_EQ(run.pelError()->bundleID(), kFoo);
        EXPECT_EQ(UpdateFixture::snapshot(app.path.filePath()), before);
        EXPECT_EQ(installedVersion(app), "1.0");
        EXPECT_EQ(UpdateFixture::snapshot(elsewhere), elsewhereBefore);
        // No tool read through the link, and nothing reached the installer.
        EXPECT_EQ(f.tools.callCount("codesign"), 0);
        EXPECT_EQ(f.tools.callCount("spctl"), 0);
        EXPECT_EQ(f.tools.callCount("xattr"), 0);
        const auto steps = f.events("verify_step");
        ASSERT_FALSE(steps.empty());
        EXPECT_EQ(steps.back()["passed"], false);
        EXPECT_NE(steps.back()["detail"].get<std::string>().find(c.message), std::string::npos)
            << steps.back().dump();
        EXPECT_TRUE(f.workDirs().empty());
    }
}

// Launched from a terminal, the application's standard input is that terminal: an attach that
// read it would wait there until its time-out.
TEST(EngineUpdateGuard, ADiskImageAskingForItsLicenceFailsAtOnceAndChangesNothing) {
    pelsupport::ScopedStandardInput terminal;
    UpdateFixture f;
    pelsupport::installFakeHdiutil(f.tools, {.mode = pelsupport::HdiutilMode::licence});
    const InstalledApp app = f.installApp(fooBundle("1.0"));
    const auto before = UpdateFixture::snapshot(app.path.filePath());
    const RemoteVersion remote = f.publish(f.diskImageBundle(fooBundle("2.0")), "/dl/Foo.dmg", "2.0");

    const UpdateRun run = f.update(app, remote);
    ASSERT_TRUE(run.pelError()) << "the update did not fail with a PelError";
    EXPECT_EQ(run.pelError()->code(), ErrorCode::ENV_MOUNT_FAILED);
    EXPECT_EQ(run.pelError()->message(),
              "hdiutil attach: the disk image asks for a licence to be accepted; hdiutil: attach canceled\n");
    EXPECT_EQ(UpdateFixture::snapshot(app.path.filePath()), before);
    EXPECT_EQ(f.tools.callCount("hdiutil"), 1);
    EXPECT_EQ(f.tools.callCount("ditto"), 0);
    EXPECT_TRUE(pelsupport::attachedImages(f.tools).empty());
    EXPECT_TRUE(f.workDirs().empty());
    const auto results = f.events("install_result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["code"], "ENV_MOUNT_FAILED");
}

} // namespace
