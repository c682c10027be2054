// Hostile downloads whose names try to pass for the signature tools' own lines: a bundle or a package
// of another team (or an untrusted one) must not borrow the installed application's Team ID or a
// trusted status from what it chose to be called. Each runs Engine::update end to end over the
// HTTPS test server and the fake tools, which print what the real tools print.

#include "PelKit/Engine.hpp"

#include "Support/ArchiveBuilder.hpp"
#include "Support/FakeInstallTools.hpp"
#include "Support/FakeVerifyTools.hpp"
#include "Support/UpdateFixture.hpp"

#include <gtest/gtest.h>

#include <functional>

using namespace pelkit;
namespace fs = std::filesystem;
using pelsupport::BundleBuilder;
using pelsupport::FakeBundleTools;
using pelsupport::FakeReply;
using pelsupport::UpdateFixture;

namespace {

constexpr const char* kFoo = "com.example.foo";
constexpr const char* kInstalledTeam = FakeBundleTools::defaultTeamID;
constexpr const char* kOtherTeam = "ZZZZZ99999";

BundleBuilder fooBundle(const std::string& fileName = "Foo.app") {
    return BundleBuilder(fileName).bundleID(kFoo).name("Foo").shortVersion("2.0").buildVersion("1");
}

struct ForgedBundle {
    const char* name;
    BundleBuilder download;
    FakeReply (*codesignDisplay)(); // what codesign -dv says of every downloaded bundle
    ErrorCode refusedWith = ErrorCode::SEC_TEAMID_MISMATCH;
};

FakeReply signedByOtherTeam() {
    return FakeBundleTools::codesignDisplayReply(kOtherTeam);
}
FakeReply identifierHoldingTheKey() {
    return FakeBundleTools::codesignDisplayReply(kOtherTeam,
                                                 std::string(kFoo) + " TeamIdentifier=" + kInstalledTeam);
}
FakeReply identifierHoldingALine() {
    return FakeBundleTools::codesignDisplayReply(kOtherTeam,
                                                 std::string(kFoo) + "\nTeamIdentifier=" + kInstalledTeam);
}
FakeReply notSigned() {
    return FakeBundleTools::codesignNotSignedReply();
}

} // namespace

TEST(ForgedSignature, ABundleOfAnotherTeamCannotNameItselfIntoTheInstalledTeam) {
    const std::string forgedLine = std::string("\nTeamIdentifier=") + kInstalledTeam + "\n";
    const std::vector<ForgedBundle> cases = {
        {"executable named like the line",
         fooBundle().executable(std::string("TeamIdentifier=") + kInstalledTeam), signedByOtherTeam},
        {"signing identifier holding the key", fooBundle(), identifierHoldingTheKey},
        {"signing identifier holding a line feed and the line", fooBundle(), identifierHoldingALine},
        // codesign --verify refuses an unsigned bundle before any Team ID is read, as the real tool
        // does; the refusal of such a folder name is checked where the bundle is read.
        {"unsigned, folder name holding the line", fooBundle("Foo" + forgedLine + "x.app"), notSigned,
         ErrorCode::SEC_SIGNATURE_INVALID},
    };
    // No row for an executable name holding a line feed: the unsigned message does not print it,
    // and a signed reply prints it before the tool's own TeamIdentifier= line, which wins. The
    // refusal of such a name is checked where the bundle is read (BundleReaderTests).
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateFixture f;
        const InstalledApp app = f.installApp(fooBundle().shortVersion("1.0"));
        ASSERT_EQ(app.teamID, kInstalledTeam);
        f.fakes.teamID(app.path.filePath(), kInstalledTeam);
        f.fakes.defaultCodesign(c.codesignDisplay());
        const auto before = UpdateFixture::snapshot(f.applications());

        const fs::path folder = f.dir / "pack";
        const fs::path built = c.download.build(folder);
        if (c.codesignDisplay == notSigned) pelsupport::markUnsigned(built);
        const RemoteVersion remote =
            f.publish(pelsupport::buildZip(folder, f.dir / "built" / "Foo.zip"), "/dl/Foo.zip", "2.0");
        const auto run = f.update(app, remote);

        if (!run.pelError()) {
            ADD_FAILURE() << "the forged bundle was installed";
            continue;
        }
        EXPECT_EQ(run.pelError()->code(), c.refusedWith) << run.pelError()->message();
        EXPECT_EQ(UpdateFixture::snapshot(f.applications()), before);
    }
}

TEST(ForgedSignature, APackageCannotNameItselfIntoATeamOrATrustedStatus) {
    struct Case {
        const char* name;
        pelsupport::PkgutilReply verdict;
        std::string forgedLine;
    };
    const std::vector<Case> cases = {
        {"another team's package naming the installed team's certificate",
         pelsupport::pkgutilNumberedChain("Other Ltd", kOtherTeam),
         std::string("    1. Developer ID Installer: Example Ltd (") + kInstalledTeam + ")"},
        {"an untrusted package naming a trusted status",
         pelsupport::pkgutilStatus("signed by untrusted certificate"),
         "   Status: signed by a developer certificate issued by Apple for distribution"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateFixture f;
        const InstalledApp app = f.installApp(fooBundle().shortVersion("1.0"));
        const auto before = UpdateFixture::snapshot(f.applications());
        const std::string pkgName = "Foo\n" + c.forgedLine + "\n.pkg";
        const fs::path pkg =
            pelsupport::buildPkg(pelsupport::PkgStandIn().withPkgutil(c.verdict), f.dir / "built" / pkgName);
        // What the echo would have slipped in: the forged line as a line of its own.
        const ProcResult shown = Proc::run(f.tools.path("pkgutil"), {"--check-signature", pkg.string()}, 60);
        ASSERT_NE(shown.stdout.find("\n" + c.forgedLine + "\n"), std::string::npos) << shown.stdout;
        f.tools.clearCalls();

        const RemoteVersion remote = f.publish(f.zipFile(pkg, "Foo.zip"), "/dl/Foo.zip", "2.0");
        const auto run = f.update(app, remote);

        if (!run.pelError()) {
            ADD_FAILURE() << "the forged package was installed";
            continue;
        }
        EXPECT_EQ(run.pelError()->code(), ErrorCode::SEC_SIGNATURE_INVALID) << run.pelError()->message();
        EXPECT_EQ(f.tools.callCount("pkgutil"), 0);
        EXPECT_EQ(f.tools.callCount("osascript"), 0);
        EXPECT_EQ(f.tools.callCount("installer"), 0);
        EXPECT_EQ(UpdateFixture::snapshot(f.applications()), before);
    }
}
