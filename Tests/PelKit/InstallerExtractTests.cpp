#include "PelKit/Installer.hpp"

#include "PelKit/Proc.hpp"
#include "Support/PelErrorAssertions.hpp"
#include "Support/ArchiveBuilder.hpp"
#include "Support/BundleBuilder.hpp"
#include "Support/FakeDiskTools.hpp"
#include "Support/FakeTools.hpp"
#include "Support/ScopedStandardInput.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <limits>

using namespace pelkit;
using pelsupport::FakeTools;
using pelsupport::readText;
using pelsupport::TempDir;
using pelsupport::writeText;
namespace fs = std::filesystem;

namespace {

// A fixture bundle named after the last component of `bundle`, built in its parent folder.
void makeBundle(const fs::path& bundle, const std::string& bundleID = "com.example.foo") {
    pelsupport::BundleBuilder(bundle.filename().string()).bundleID(bundleID).build(bundle.parent_path());
}

void makePkg(const fs::path& pkg) {
    writeText(pkg, "xar! package stand-in");
}

Url fileUrl(const fs::path& p) {
    return Url::fromFilePath(p.string());
}

// Runs `f` and returns the PelError it throws (failing the test when it throws nothing else).
using pelsupport::pelErrorOf;
void expectPlainError(const PelError& e, ErrorCode code, const std::string& message) {
    EXPECT_EQ(rawValue(e.code()), rawValue(code)) << e.message();
    EXPECT_EQ(e.message(), message);
    EXPECT_EQ(e.bundleID(), std::nullopt);
    EXPECT_EQ(e.source(), std::nullopt);
    EXPECT_FALSE(e.overrideCanFix());
}

using Format = Installer::Format;

} // namespace

// ---- Shared types ----

TEST(InstallerFormat, RawValuesRoundTripAndAnythingElseGivesNone) {
    const std::vector<std::pair<Format, std::string>> cases = {
        {Format::zip, "zip"}, {Format::dmg, "dmg"}, {Format::targz, "targz"},
        {Format::tbz, "tbz"}, {Format::pkg, "pkg"}, {Format::unknown, "unknown"}};
    for (const auto& [format, raw] : cases) {
        EXPECT_EQ(rawValue(format), raw);
        EXPECT_EQ(fromRawValue<Format>(raw), format);
    }
    for (std::string raw : {"ZIP", "", "tar.gz", "zip "})
        EXPECT_EQ(fromRawValue<Format>(raw), std::nullopt) << raw;
}

// ---- Format detection ----

TEST(DetectFormat, ContentBeatsNameAndTheTrailerCountsOnlyAtItsPlace) {
    TempDir dir;
    std::string trailerImage(1024, 'x');
    trailerImage.replace(512, 4, "koly");
    std::string shiftedTrailer(1024, 'x');
    shiftedTrailer.replace(513, 4, "koly");
    std::string exactly512(512, 'x');
    exactly512.replace(0, 4, "koly");

    struct Case {
        std::string name;
        std::string bytes;
        Format expected;
    };
    const std::vector<Case> cases = {
        {"a.zip", "xar! rest", Format::pkg},              // magic bytes beat the name
        {"trailer.bin", trailerImage, Format::dmg},       // "koly" at size - 512
        {"shifted.bin", shiftedTrailer, Format::unknown}, // "koly" at size - 511 is no trailer
        {"shifted.zip", shiftedTrailer, Format::zip},
        {"x.bin", exactly512, Format::unknown}, // exactly 512 bytes: no trailer test
        {"x.dmg", exactly512, Format::dmg},
        {"empty.dmg", "", Format::dmg}, // an empty file is decided by its name
        {"empty.tgz", "", Format::targz},
        {"empty", "", Format::unknown},
        {"PK.bin", std::string("PK\x03\x04rest", 8), Format::zip},
        {"empty-zip.bin", std::string("PK\x05\x06\0\0\0\0", 8), Format::zip},
        {"gz.txt", "\x1f\x8b\x08", Format::targz},
        {"bz.txt", "BZh91AY", Format::tbz},
        {"A.TAR.GZ", "plain text", Format::targz},
        {"a.tar", "plain text", Format::unknown},
        {"a.tar.bz2", "plain text", Format::tbz},
        {"a.tbz", "plain text", Format::tbz},
        {"Setup.PKG", "plain text", Format::pkg},
        {"notes.txt", "plain text", Format::unknown},
    };
    for (const auto& c : cases) {
        writeText(dir / c.name, c.bytes);
        EXPECT_EQ(rawValue(Installer::detectFormat(fileUrl(dir / c.name))), rawValue(c.expected)) << c.name;
    }

    // Neither a missing file nor a directory can be read: both go by name.
    EXPECT_EQ(Installer::detectFormat(fileUrl(dir / "gone.pkg")), Format::pkg);
    fs::create_directories(dir / "folder.zip");
    fs::create_directories(dir / "folder");
    EXPECT_EQ(Installer::detectFormat(fileUrl(dir / "folder.zip")), Format::zip);
    EXPECT_EQ(Installer::detectFormat(fileUrl(dir / "folder")), Format::unknown);
}

TEST(DetectFormat, BuiltFixturesAreRecognisedIncludingAZipNamingKolyNearItsEnd) {
    TempDir dir;
    makeBundle(dir / "tree/Ekolyte.app");
    auto zip = pelsupport::buildZip(dir / "tree", dir / "download.bin");
    // The central directory near the end names the bundle, so "koly" sits in the last 512 bytes.
    std::string bytes = readText(zip);
    ASSERT_GT(bytes.size(), 512u);
    ASSERT_NE(bytes.find("koly", bytes.size() - 512), std::string::npos);
    EXPECT_EQ(Installer::detectFormat(fileUrl(zip)), Format::zip);

    EXPECT_EQ(Installer::detectFormat(fileUrl(pelsupport::buildDiskImage(dir / "tree", dir / "image.bin"))),
              Format::dmg);
    EXPECT_EQ(Installer::detectFormat(fileUrl(pelsupport::buildTarGz(dir / "tree", dir / "a.bin"))),
              Format::targz);
    EXPECT_EQ(Installer::detectFormat(fileUrl(pelsupport::buildTarBz2(dir / "tree", dir / "b.bin"))),
              Format::tbz);
}

// ---- hdiutil output ----

TEST(ParseMountPoint, FirstEntityWithANonEmptyStringMountPoint) {
    auto plist = [](const std::string& entities) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>system-entities</key><array>" +
               entities + "</array></dict></plist>\n";
    };
    auto entity = [](const std::string& body) { return "<dict>" + body + "</dict>"; };
    const std::string dev = "<key>dev-entry</key><string>/dev/disk4</string>";
    struct Case {
        std::string what;
        std::string text;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"whole disk, then partition",
         plist(entity(dev) + entity(dev + "<key>mount-point</key><string>/tmp/dmg.A</string>")),
         "/tmp/dmg.A"},
        {"empty mount point skipped",
         plist(entity("<key>mount-point</key><string></string>") +
               entity("<key>mount-point</key><string>/Volumes/B</string>")),
         "/Volumes/B"},
        {"non-string mount point skipped",
         plist(entity("<key>mount-point</key><integer>3</integer>") +
               entity("<key>mount-point</key><string>/Volumes/C</string>")),
         "/Volumes/C"},
        {"non-dictionary entity skipped",
         plist("<string>x</string>" + entity("<key>mount-point</key><string>/Volumes/D</string>")),
         "/Volumes/D"},
        {"no mount point", plist(entity(dev) + entity(dev)), std::nullopt},
        {"no entities", plist(""), std::nullopt},
        {"entities not an array",
         "<plist version=\"1.0\"><dict><key>system-entities</key><string>x</string></dict></plist>",
         std::nullopt},
        {"top level an array", "<plist version=\"1.0\"><array/></plist>", std::nullopt},
        {"garbage", "hdiutil: attached <dict>", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Installer::parseMountPoint(c.text), c.expected) << c.what;
}

// ---- Extraction ----

class ExtractTest : public ::testing::Test {
protected:
    void SetUp() override {
        pelsupport::installFakeDitto(tools);
        pelsupport::installFakeHdiutil(tools);
    }
    void TearDown() override {
        EXPECT_TRUE(pelsupport::attachedMountPoints(tools).empty()) << "an image was left attached";
    }

    fs::path tree(const std::string& name) { return dir / ("trees/" + name); }
    fs::path destination() const { return dir / "work/extracted"; }
    Url extract(const fs::path& archive) {
        return Installer::extract(fileUrl(archive), fileUrl(destination()));
    }
    std::string relative(const Url& found) const {
        return fs::path(found.filePath()).lexically_relative(destination()).string();
    }

    TempDir dir;
    FakeTools tools;
};

TEST_F(ExtractTest, ArchivesYieldTheirBundleOrPackage) {
    using Builder = std::function<fs::path(const fs::path&, const fs::path&)>;
    struct Case {
        std::string what;
        std::function<void(const fs::path&)> layout;
        Builder build;
        std::string expected;
    };
    const Builder zip = pelsupport::buildZip;
    const Builder tgz = pelsupport::buildTarGz;
    const Builder tbz = pelsupport::buildTarBz2;
    const Builder dmg = pelsupport::buildDiskImage;
    const std::vector<Case> cases = {
        {"zip, bundle at the top", [](const fs::path& t) { makeBundle(t / "Foo.app"); }, zip, "Foo.app"},
        {"zip, bundle one level down", [](const fs::path& t) { makeBundle(t / "Foo 2.0/Foo.app"); }, zip,
         "Foo 2.0/Foo.app"},
        {"tar.gz", [](const fs::path& t) { makeBundle(t / "Foo.app"); }, tgz, "Foo.app"},
        {"tar.bz2", [](const fs::path& t) { makeBundle(t / "Foo.app"); }, tbz, "Foo.app"},
        {"a package at the top beats a bundle one level down",
         [](const fs::path& t) {
             makeBundle(t / "Sub/Foo.app");
             makePkg(t / "Setup.pkg");
         },
         zip, "Setup.pkg"},
        {"hidden entries are skipped",
         [](const fs::path& t) {
             makeBundle(t / ".Hidden.app");
             makeBundle(t / "Sub/Foo.app");
         },
         tgz, "Sub/Foo.app"},
        {"image with bundle and package: the bundle",
         [](const fs::path& t) {
             makePkg(t / "Setup.pkg");
             makeBundle(t / "Foo.app");
         },
         dmg, "Foo.app"},
        {"image with a .PKG package", [](const fs::path& t) { makePkg(t / "Setup.PKG"); }, dmg, "Setup.PKG"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir / "trees");
        fs::remove_all(dir / "work");
        fs::create_directories(tree("t"));
        c.layout(tree("t"));
        auto archive = c.build(tree("t"), dir / "download");
        auto found = extract(archive);
        EXPECT_EQ(relative(found), c.expected);
        EXPECT_EQ(fs::status(destination()).permissions() & fs::perms::all, fs::perms::owner_all);
        if (c.expected.ends_with(".app")) {
            EXPECT_EQ(readText(fs::path(found.filePath()) / "Contents/Info.plist"),
                      readText(tree("t") / c.expected / "Contents/Info.plist"));
            EXPECT_EQ(fs::status(fs::path(found.filePath()) / "Contents/MacOS/Foo").permissions() &
                          fs::perms::owner_exec,
                      fs::perms::owner_exec);
        }
    }
    // Each image was detached from its own mount point.
    auto detached = pelsupport::detachedTargets(tools);
    ASSERT_EQ(detached.size(), 2u);
    EXPECT_NE(detached[0], detached[1]);
    for (const auto& target : detached)
        EXPECT_EQ(target.rfind("/tmp/dmg.", 0), 0u) << target;
}

TEST_F(ExtractTest, ImagesAreSearchedAtTheirTopLevelOnly) {
    struct Case {
        std::string what;
        std::function<void(const fs::path&)> layout;
    };
    const std::vector<Case> cases = {
        {"bundle with upper-case .APP", [](const fs::path& t) { makeBundle(t / "Foo.APP"); }},
        {"bundle one level down", [](const fs::path& t) { makeBundle(t / "Sub/Foo.app"); }},
        {"only a hidden bundle", [](const fs::path& t) { makeBundle(t / ".Foo.app"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir / "trees");
        fs::create_directories(tree("t"));
        c.layout(tree("t"));
        auto image = pelsupport::buildDiskImage(tree("t"), dir / "Foo.dmg");
        expectPlainError(pelErrorOf([&] { extract(image); }), ErrorCode::UNS_ARCHIVE_FORMAT,
                         "no .app or .pkg in DMG");
    }
    EXPECT_EQ(pelsupport::detachedTargets(tools).size(), cases.size());
    EXPECT_EQ(tools.callCount("ditto"), 0);
}

TEST_F(ExtractTest, UnpackFailuresAndUnsupportedFormats) {
    // A gzip stream that is no tar, and a zip cut short: their listings cannot be read, so no tool
    // is asked to unpack them.
    writeText(dir / "plain.txt", std::string(2000, 'a'));
    auto notTar = pelsupport::gzipFile(dir / "plain.txt", dir / "Foo.tar.gz");
    expectPlainError(pelErrorOf([&] { extract(notTar); }), ErrorCode::UNS_ARCHIVE_FORMAT,
                     "cannot read the archive's listing: not a tar archive");
    writeText(dir / "broken.zip", "PK\x03\x04 truncated");
    expectPlainError(pelErrorOf([&] { extract(dir / "broken.zip"); }), ErrorCode::UNS_ARCHIVE_FORMAT,
                     "cannot read the archive's listing: no central directory");
    EXPECT_EQ(tools.callCount("ditto"), 0);
    // Archives whose listings read and whose tools fail: InstallerExpandedSizeTests.cpp.

    makePkg(dir / "Foo.pkg");
    expectPlainError(pelErrorOf([&] { extract(dir / "Foo.pkg"); }), ErrorCode::UNS_PKG,
                     "pkg installer — use installPkg() path");
    writeText(dir / "Foo-2.0.txt", "release notes");
    expectPlainError(pelErrorOf([&] { extract(dir / "Foo-2.0.txt"); }), ErrorCode::UNS_ARCHIVE_FORMAT,
                     "unknown archive format: Foo-2.0.txt");

    // An archive with nothing usable in it.
    writeText(tree("empty/readme.txt"), "hello");
    auto zip = pelsupport::buildZip(tree("empty"), dir / "Empty.zip");
    expectPlainError(pelErrorOf([&] { extract(zip); }), ErrorCode::UNS_ARCHIVE_FORMAT,
                     "no .app or .pkg found in extracted archive");
}

TEST_F(ExtractTest, EachMissingToolIsNamed) {
    makeBundle(tree("t/Foo.app"));
    auto zip = pelsupport::buildZip(tree("t"), dir / "Foo.zip");
    auto tgz = pelsupport::buildTarGz(tree("t"), dir / "Foo.tar.gz");
    auto image = pelsupport::buildDiskImage(tree("t"), dir / "Foo.dmg");

    tools.remove("tar");
    expectPlainError(pelErrorOf([&] { extract(tgz); }), ErrorCode::INT_UNEXPECTED, "tar not found");

    tools.remove("ditto");
    expectPlainError(pelErrorOf([&] { extract(zip); }), ErrorCode::INT_UNEXPECTED, "ditto not found");
    // The image is mounted before ditto is looked up, and still detached.
    expectPlainError(pelErrorOf([&] { extract(image); }), ErrorCode::INT_UNEXPECTED, "ditto not found");
    EXPECT_EQ(pelsupport::detachedTargets(tools).size(), 1u);

    tools.remove("hdiutil");
    expectPlainError(pelErrorOf([&] { extract(image); }), ErrorCode::INT_UNEXPECTED, "hdiutil not found");
}

TEST_F(ExtractTest, AttachFailureCarriesStandardErrorUnchanged) {
    pelsupport::installFakeHdiutil(tools, {.mode = pelsupport::HdiutilMode::attachFails,
                                           .attachError = "hdiutil: attach failed - corrupt image\n"});
    makeBundle(tree("t/Foo.app"));
    auto image = pelsupport::buildDiskImage(tree("t"), dir / "Foo.dmg");
    expectPlainError(pelErrorOf([&] { extract(image); }), ErrorCode::ENV_MOUNT_FAILED,
                     "hdiutil attach: hdiutil: attach failed - corrupt image\n");
    EXPECT_TRUE(pelsupport::detachedTargets(tools).empty());

    auto attach = tools.calls("hdiutil").at(0).args;
    EXPECT_EQ(attach, (std::vector<std::string>{"attach", "-nobrowse", "-readonly", "-noverify",
                                                "-mountrandom", "/tmp", "-plist", image.string()}));
}

// hdiutil asks on its standard input whether the licence is accepted. The caller's own input holds
// an answer here: only the null device may reach the tool, so the attach is cancelled, never agreed.
TEST_F(ExtractTest, AnImageAskingForItsLicenceFailsAtOnceWithoutTakingAnAnswer) {
    pelsupport::ScopedStandardInput terminal("y\n");
    makeBundle(tree("t/Foo.app"));
    auto image = pelsupport::buildDiskImage(tree("t"), dir / "Foo.dmg");
    const std::string message =
        "hdiutil attach: the disk image asks for a licence to be accepted; hdiutil: attach canceled\n";
    struct Case {
        std::string what;
        std::string licence;
    };
    const std::vector<Case> cases = {
        {"licence in UTF-8", "LICENCE AGREEMENT\n\nTerms \u2014 read them.\n\n"},
        // The prompt is lost with the rest of an output that is not UTF-8.
        {"licence in Latin-1", "LICENCE AGREEMENT\n\nConditions g\xe9n\xe9rales.\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tools.clearCalls();
        pelsupport::installFakeHdiutil(tools,
                                       {.mode = pelsupport::HdiutilMode::licence, .licence = c.licence});
        expectPlainError(pelErrorOf([&] { extract(image); }), ErrorCode::ENV_MOUNT_FAILED, message);
        EXPECT_EQ(tools.callCount("hdiutil"), 1); // nothing attached, so nothing to detach
        EXPECT_EQ(tools.callCount("ditto"), 0);
        EXPECT_TRUE(pelsupport::attachedImages(tools).empty());
    }
}

TEST_F(ExtractTest, OutputWithoutMountPointDetachesTheFirstDeviceOnce) {
    makeBundle(tree("t/Foo.app"));
    auto image = pelsupport::buildDiskImage(tree("t"), dir / "Foo.dmg");

    pelsupport::installFakeHdiutil(tools, {.mode = pelsupport::HdiutilMode::noMountPoint});
    expectPlainError(pelErrorOf([&] { extract(image); }), ErrorCode::ENV_MOUNT_FAILED,
                     "could not parse mount point from hdiutil output");
    EXPECT_EQ(pelsupport::detachedTargets(tools), (std::vector<std::string>{pelsupport::fakeDiskDevice(1)}));
    EXPECT_EQ(tools.calls("hdiutil").back().args,
              (std::vector<std::string>{"detach", "-force", pelsupport::fakeDiskDevice(1)}));

    tools.clearCalls();
    pelsupport::installFakeHdiutil(tools, {.mode = pelsupport::HdiutilMode::unparsable});
    expectPlainError(pelErrorOf([&] { extract(image); }), ErrorCode::ENV_MOUNT_FAILED,
                     "could not parse mount point from hdiutil output");
    EXPECT_EQ(tools.callCount("hdiutil"), 1); // the attach only
}

TEST_F(ExtractTest, ImageIsDetachedAfterAFailedCopy) {
    makeBundle(tree("t/Foo.app"));
    auto image = pelsupport::buildDiskImage(tree("t"), dir / "Foo.dmg");
    const std::string target = (destination() / "Foo.app").string();
    pelsupport::FakeRule intoDestination;
    intoDestination.argsInclude = {target};
    intoDestination.reply.exitStatus = 1;
    intoDestination.reply.err = "ditto: No space left on device\n";
    pelsupport::installFakeDitto(tools, {intoDestination});

    expectPlainError(pelErrorOf([&] { extract(image); }), ErrorCode::INT_UNEXPECTED,
                     "ditto from dmg failed: ditto: No space left on device\n");
    auto calls = tools.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].args.front(), "attach");
    EXPECT_EQ(calls[1].tool, "ditto");
    EXPECT_EQ(calls[1].args.back(), target);
    EXPECT_EQ(calls[2].args,
              (std::vector<std::string>{"detach", "-force",
                                        calls[1].args.front().substr(0, calls[1].args.front().rfind('/'))}));
}

TEST_F(ExtractTest, ImageIsDetachedAfterACopyThatTimesOut) {
    makeBundle(tree("t/Foo.app"));
    auto image = pelsupport::buildDiskImage(tree("t"), dir / "Foo.dmg");
    pelsupport::FakeRule slowCopy;
    slowCopy.reply = pelsupport::dittoReply();
    slowCopy.reply.delaySeconds = 20;
    pelsupport::installFakeDitto(tools, {slowCopy});
    pelkit::testing::ScopedToolTimeout shortDitto(pelsupport::shortTimeOutFor("ditto", 0.3));

    auto e = pelErrorOf([&] { extract(image); });
    EXPECT_EQ(e.code(), ErrorCode::INT_UNEXPECTED);
    EXPECT_EQ(e.message(), tools.path("ditto") + " timeout after 300s");
    EXPECT_EQ(pelsupport::detachedTargets(tools).size(), 1u);
}

TEST_F(ExtractTest, EachToolRunsInItsOrderWithItsOwnTimeOut) {
    using Runs = std::vector<std::pair<std::string, double>>;
    struct Case {
        std::string what;
        std::function<fs::path(const fs::path&, const fs::path&)> build;
        pelsupport::HdiutilMode hdiutil;
        Runs expected; // tool and the time-out it asked for, in call order
    };
    const std::vector<Case> cases = {
        {"zip", pelsupport::buildZip, pelsupport::HdiutilMode::mount, {{"ditto", 300}}},
        {"tar.gz", pelsupport::buildTarGz, pelsupport::HdiutilMode::mount, {{"tar", 300}}},
        {"tar.bz2", pelsupport::buildTarBz2, pelsupport::HdiutilMode::mount, {{"tar", 300}}},
        {"image",
         pelsupport::buildDiskImage,
         pelsupport::HdiutilMode::mount,
         {{"hdiutil", 120}, {"ditto", 300}, {"hdiutil", 30}}},
        {"image without a mount point",
         pelsupport::buildDiskImage,
         pelsupport::HdiutilMode::noMountPoint,
         {{"hdiutil", 120}, {"hdiutil", 30}}},
    };
    makeBundle(tree("t/Foo.app"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir / "work");
        pelsupport::installFakeHdiutil(tools, {.mode = c.hdiutil});
        auto archive = c.build(tree("t"), dir / "download");
        Runs runs;
        pelkit::testing::ScopedToolTimeout record([&runs](const std::string& path, double requested) {
            runs.emplace_back(fs::path(path).filename().string(), requested);
            return requested;
        });
        try {
            extract(archive);
        } catch (const PelError&) {
            // Only the image without a mount point fails; its runs are what this test looks at.
        }
        EXPECT_EQ(runs, c.expected);
    }
}

TEST_F(ExtractTest, LinksOutOfTheExtractionFolderAreNotFollowed) {
    makeBundle(dir / "outside/Victim.app");
    makePkg(dir / "outside/Payload.pkg");
    const fs::path outside = dir / "outside";
    struct Case {
        std::string what;
        std::function<void(const fs::path&)> layout;
        std::function<fs::path(const fs::path&, const fs::path&)> build;
        std::string message;
    };
    const std::string archiveMessage = "no .app or .pkg found in extracted archive";
    const std::vector<Case> cases = {
        {"tar.gz bundle linking outside",
         [&](const fs::path& t) { fs::create_symlink(outside / "Victim.app", t / "Evil.app"); },
         pelsupport::buildTarGz, archiveMessage},
        {"tar.gz package linking outside by a relative path",
         [&](const fs::path& t) { fs::create_symlink("../../outside/Payload.pkg", t / "Evil.pkg"); },
         pelsupport::buildTarGz, archiveMessage},
        {"tar.gz subfolder linking outside",
         [&](const fs::path& t) { fs::create_symlink(outside, t / "Sub"); }, pelsupport::buildTarGz,
         archiveMessage},
        {"zip bundle linking outside",
         [&](const fs::path& t) { fs::create_symlink(outside / "Victim.app", t / "Evil.app"); },
         pelsupport::buildZip, archiveMessage},
        {"image whose only entry links outside",
         [&](const fs::path& t) { fs::create_symlink(outside / "Victim.app", t / "Evil.app"); },
         pelsupport::buildDiskImage, "no .app or .pkg in DMG"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir / "trees");
        fs::remove_all(dir / "work");
        fs::create_directories(tree("t"));
        c.layout(tree("t"));
        auto archive = c.build(tree("t"), dir / "download");
        expectPlainError(pelErrorOf([&] { extract(archive); }), ErrorCode::UNS_ARCHIVE_FORMAT, c.message);
    }
    EXPECT_TRUE(fs::exists(outside / "Victim.app/Contents/Info.plist"));
    EXPECT_EQ(tools.callCount("ditto"), 1); // the zip's unpacking; nothing was copied out of the image
}

TEST_F(ExtractTest, LinksThatStayInsideStillYieldTheirItem) {
    makeBundle(tree("t/.payload/Foo.app"));
    fs::create_symlink(".payload", tree("t/Link"));
    auto tgz = pelsupport::buildTarGz(tree("t"), dir / "Foo.tar.gz");
    EXPECT_EQ(relative(extract(tgz)), "Link/Foo.app");

    // Inside an image, a link to a bundle inside the volume is copied as the bundle it names.
    fs::remove_all(dir / "work");
    makeBundle(tree("v/.real/Foo.app"));
    fs::create_symlink(".real/Foo.app", tree("v/Foo.app"));
    auto image = pelsupport::buildDiskImage(tree("v"), dir / "Foo.dmg");
    auto found = extract(image);
    EXPECT_EQ(relative(found), "Foo.app");
    EXPECT_FALSE(fs::is_symlink(found.filePath()));
    EXPECT_TRUE(fs::exists(fs::path(found.filePath()) / "Contents/Info.plist"));
}

TEST_F(ExtractTest, AnExistingDestinationIsReusedAndAFileInItsWayFails) {
    makeBundle(tree("t/Foo.app"));
    auto zip = pelsupport::buildZip(tree("t"), dir / "Foo.zip");
    fs::create_directories(destination());
    EXPECT_EQ(relative(extract(zip)), "Foo.app");

    writeText(dir / "blocked", "a file where the folder belongs");
    EXPECT_THROW(Installer::extract(fileUrl(zip), fileUrl(dir / "blocked/extracted")), fs::filesystem_error);
}

// ---- Pre-flight ----

namespace {

class FixedWorkspace final : public platform::Workspace {
public:
    explicit FixedWorkspace(std::vector<platform::RunningApplication> apps) : apps_(std::move(apps)) {}
    std::vector<platform::RunningApplication> runningApplications() const override { return apps_; }

private:
    std::vector<platform::RunningApplication> apps_;
};

InstalledApp fooApp() {
    return InstalledApp{Url::fromFilePath("/Applications/Foo.app"),
                        "com.example.foo",
                        "Foo Pro",
                        "1.0",
                        "100",
                        "Foo",
                        std::nullopt,
                        std::nullopt,
                        false,
                        false,
                        std::nullopt,
                        {}};
}

struct FreeSpace {
    explicit FreeSpace(std::optional<std::int64_t> bytes) : bytes(bytes) {}
    std::optional<std::int64_t> bytes;
    mutable std::vector<std::string> asked;
    Installer::FreeBytesQuery query() const {
        return [this](const Url& folder) {
            asked.push_back(folder.filePath());
            return bytes;
        };
    }
};

} // namespace

TEST(Preflight, ARunningTargetComesFirst) {
    FixedWorkspace ws(
        {{41, "/Applications/Other.app", "com.example.other"}, {42, "/Users/x/Foo.app", "com.example.foo"}});
    FreeSpace full(0);
    auto e = Installer::preflight(fooApp(), 1000, ws, full.query());
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code(), ErrorCode::ENV_APP_RUNNING);
    EXPECT_EQ(e->message(), "Foo Pro is running — quit before update");
    EXPECT_EQ(e->bundleID(), "com.example.foo");
    EXPECT_EQ(e->source(), std::nullopt);
    EXPECT_FALSE(e->overrideCanFix());
    EXPECT_TRUE(full.asked.empty());

    // Other applications, or a bundle without an identifier, do not count.
    FixedWorkspace others(
        {{41, "/Applications/Other.app", "com.example.other"}, {43, "/Applications/Foo.app", std::nullopt}});
    FreeSpace plenty(1'000'000);
    EXPECT_EQ(Installer::preflight(fooApp(), 1000, others, plenty.query()), std::nullopt);
    EXPECT_EQ(plenty.asked, (std::vector<std::string>{"/Applications"}));
}

TEST(Preflight, SpaceTest) {
    const FixedWorkspace none({});
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    struct Case {
        std::string what;
        std::optional<std::int64_t> size;
        std::optional<std::int64_t> free;
        std::optional<std::string> message; // ENV_DISK_FULL with this text, or nothing
    };
    const std::vector<Case> cases = {
        {"no size never tests", std::nullopt, 0, std::nullopt},
        {"unreadable capacity passes", 1000, std::nullopt, std::nullopt},
        {"exactly three times passes", 100, 300, std::nullopt},
        {"one byte short fails", 100, 299, "need ~300 bytes free, have 299"},
        {"zero size passes", 0, 0, std::nullopt},
        {"largest size that triples", kMax / 3, kMax / 3 * 3, std::nullopt},
        {"a size above a third of the range fails without wrapping", kMax / 3 + 1, kMax,
         "need ~9223372036854775807 bytes free, have 9223372036854775807"},
        {"the largest size", kMax, 5'000'000'000, "need ~9223372036854775807 bytes free, have 5000000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FreeSpace free(c.free);
        auto e = Installer::preflight(fooApp(), c.size, none, free.query());
        EXPECT_EQ(free.asked.size(), c.size ? 1u : 0u);
        if (!c.message) {
            EXPECT_EQ(e, std::nullopt);
            continue;
        }
        ASSERT_TRUE(e);
        EXPECT_EQ(e->code(), ErrorCode::ENV_DISK_FULL);
        EXPECT_EQ(e->message(), *c.message);
        EXPECT_EQ(e->bundleID(), "com.example.foo");
        EXPECT_EQ(e->source(), std::nullopt);
    }
}

TEST(Preflight, DefaultFreeSpaceReadsTheBundlesFolder) {
    TempDir dir;
    auto app = fooApp();
    InstalledApp here{fileUrl(dir / "Foo.app"),
                      app.bundleID,
                      app.name,
                      std::nullopt,
                      std::nullopt,
                      std::nullopt,
                      std::nullopt,
                      std::nullopt,
                      false,
                      false,
                      std::nullopt,
                      {}};
    EXPECT_EQ(Installer::preflight(here, 1, FixedWorkspace({}),
                                   [](const Url& folder) { return Installer::freeBytes(folder); }),
              std::nullopt);
    auto e = Installer::preflight(here, std::numeric_limits<std::int64_t>::max() / 4, FixedWorkspace({}),
                                  [](const Url& folder) { return Installer::freeBytes(folder); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code(), ErrorCode::ENV_DISK_FULL);
}
