// The verifier's walk over the links of a downloaded bundle.

#include "PelKit/VerifierFixture.hpp"

#include <functional>

namespace pelkit {

using namespace verifiertest;

using pelsupport::BundleBuilder;

// Every later read follows links, the tools' included: a bundle whose entry resolves outside it
// stops before any of them runs. Where the bundle's identity would come from outside, the
// identifier is what cannot be trusted; any other such link makes the archive unusable.
TEST_F(VerifierTest, AnEntryResolvingOutsideTheBundleStopsBeforeAnyToolRuns) {
    // Outside lies a bundle that would pass every step: reading through a link would accept it.
    const fs::path outside = BundleBuilder("Outside.app")
                                 .bundleID("com.example.app")
                                 .shortVersion("2.0")
                                 .buildVersion("300")
                                 .build(dir / "outside");
    auto link = [](const fs::path& target, const fs::path& at) {
        fs::remove_all(at);
        fs::create_directories(at.parent_path());
        fs::create_symlink(target, at);
    };
    struct Case {
        const char* name;
        std::function<void(const fs::path& app)> spoil;
        std::string entry;
        bool identity;
    };
    const std::vector<Case> cases = {
        {"Info.plist linked to a file outside",
         [&](const fs::path& app) { link(outside / "Contents/Info.plist", app / "Contents/Info.plist"); },
         "Contents/Info.plist", true},
        {"Contents linked to a folder outside",
         [&](const fs::path& app) { link(outside / "Contents", app / "Contents"); }, "Contents", true},
        {"Info.plist linked outside by a relative path",
         [&](const fs::path& app) {
             link("../../../outside/Outside.app/Contents/Info.plist", app / "Contents/Info.plist");
         },
         "Contents/Info.plist", true},
        {"Info.plist through an inner link that leaves",
         [&](const fs::path& app) {
             link(outside / "Contents/Info.plist", app / "Contents/Resources/hop");
             link("Resources/hop", app / "Contents/Info.plist");
         },
         "Contents/Info.plist", true},
        {"the executable linked outside",
         [&](const fs::path& app) { link(outside / "Contents/MacOS/Outside", app / "Contents/MacOS/App"); },
         "Contents/MacOS/App", true},
        {"a resource linked to a folder outside",
         [&](const fs::path& app) { link(dir / "outside", app / "Contents/Resources/data"); },
         "Contents/Resources/data", false},
        {"a dangling link naming a place outside",
         [&](const fs::path& app) { link(dir / "nowhere/later", app / "Contents/Resources/later"); },
         "Contents/Resources/later", false},
        {"a link to the folder holding the bundle",
         [&](const fs::path& app) { link("../../..", app / "Contents/Resources/up"); },
         "Contents/Resources/up", false},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bundle = build(BundleBuilder("L" + std::to_string(++n) + ".app")
                           .bundleID("com.example.app")
                           .executable("App")
                           .shortVersion("2.0")
                           .buildVersion("300"));
        c.spoil(bundle);
        tools.clearCalls();
        const std::string message = "bundle entry " + c.entry + " resolves outside the bundle";
        if (c.identity) {
            expectAborted(verify(),
                          {sizeNone,
                           hashNone,
                           extracted,
                           {"bundleID", false, "installed=com.example.app downloaded=" + message}},
                          ErrorCode::SEC_BUNDLEID_CHANGED, message);
        } else {
            expectAborted(verify(), {sizeNone, hashNone, {"extract", false, message}},
                          ErrorCode::UNS_ARCHIVE_FORMAT, message);
        }
        EXPECT_TRUE(tools.calls().empty()) << "no tool read through the link";
    }
}

TEST_F(VerifierTest, LinksThatStayInsideTheBundleAreAccepted) {
    bundle = build(
        BundleBuilder("Framed.app").bundleID("com.example.app").shortVersion("2.0").buildVersion("300"));
    // The layout of a framework, an absolute link into the bundle, a link to the bundle itself, a
    // dangling link inside, and a link loop inside.
    const fs::path framework = bundle / "Contents/Frameworks/Kit.framework";
    fs::create_directories(framework / "Versions/A");
    pelsupport::writeText(framework / "Versions/A/Kit", "binary");
    fs::create_symlink("A", framework / "Versions/Current");
    fs::create_symlink("Versions/Current/Kit", framework / "Kit");
    fs::create_directories(bundle / "Contents/Resources");
    fs::create_symlink(bundle / "Contents/Frameworks", bundle / "Contents/Resources/frameworks");
    fs::create_symlink("../..", bundle / "Contents/Resources/bundle");
    fs::create_symlink("not-yet", bundle / "Contents/Resources/dangling");
    fs::create_symlink("loop-b", bundle / "Contents/Resources/loop-a");
    fs::create_symlink("loop-a", bundle / "Contents/Resources/loop-b");
    expectPassed(verify(), {sizeNone, hashNone, extracted, signatureValid, teamMatch, gatekeeperAccepted,
                            bundleMatch, versionOK});
}

} // namespace pelkit
