// The verifier's walk over the links of a downloaded bundle. The bundle is installed elsewhere than it
// was unpacked, perhaps under another name and without what lay beside it in the archive, so a link
// is judged by the text of its target from its own place in the bundle.

#include "PelKit/VerifierFixture.hpp"

#include <functional>

namespace pelkit {

using namespace verifiertest;

namespace {

using pelsupport::BundleBuilder;

void link(const fs::path& target, const fs::path& at) {
    fs::remove_all(at);
    fs::create_directories(at.parent_path());
    fs::create_symlink(target, at);
}

} // namespace

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
    // A link at the archive's top, beside the bundle, into the bundle's resources; and a genuine
    // Info.plist and data among those resources, so that every link below reaches, where the bundle
    // was unpacked, a file of the bundle's own.
    auto hopBeside = [](const fs::path& app) {
        link(app.filename() / "Contents/Resources", app.parent_path() / "hop");
        fs::create_directories(app / "Contents/Resources");
        fs::copy_file(app / "Contents/Info.plist", app / "Contents/Resources/Info.plist");
        pelsupport::writeText(app / "Contents/Resources/data", "data");
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
        // Installed, an absolute link names the folder the bundle was unpacked into.
        {"an absolute link into the bundle",
         [&](const fs::path& app) { link(app / "Contents/MacOS", app / "Contents/Resources/macos"); },
         "Contents/Resources/macos", false},
        // Out of the bundle and back in through what lay beside it.
        {"a resource through a link beside the bundle",
         [&](const fs::path& app) {
             hopBeside(app);
             link("../../../hop/data", app / "Contents/Resources/a");
         },
         "Contents/Resources/a", false},
        {"Info.plist through a link beside the bundle",
         [&](const fs::path& app) {
             hopBeside(app);
             link("../../hop/Info.plist", app / "Contents/Info.plist");
         },
         "Contents/Info.plist", true},
        // Out and back in through the bundle's own name, which the installed copy need not have.
        {"a resource through the bundle's own name",
         [&](const fs::path& app) {
             hopBeside(app);
             link("../../.." / app.filename() / "Contents/Resources/data", app / "Contents/Resources/a");
         },
         "Contents/Resources/a", false},
        {"Info.plist through the bundle's own name",
         [&](const fs::path& app) {
             hopBeside(app);
             link("../.." / app.filename() / "Contents/Resources/Info.plist", app / "Contents/Info.plist");
         },
         "Contents/Info.plist", true},
        // `top` leads to the bundle itself, so the ".." after it steps out of the bundle, not back to
        // Resources: here the bundle's own name leads in again, installed it need not.
        {"a step back after an inner link",
         [&](const fs::path& app) {
             hopBeside(app);
             link("../..", app / "Contents/Resources/top");
             link("top/.." / app.filename() / "Contents/Resources/data", app / "Contents/Resources/a");
         },
         "Contents/Resources/a", false},
        // The identity entries in any case: on a Mac's default volume they are the same entries.
        {"info.plist in lower case linked outside",
         [&](const fs::path& app) { link(outside / "Contents/Info.plist", app / "Contents/info.plist"); },
         "Contents/info.plist", true},
        {"contents in lower case linked outside",
         [&](const fs::path& app) { link(outside / "Contents", app / "contents"); }, "contents", true},
        {"the executable's folder in another case",
         [&](const fs::path& app) { link(outside / "Contents/MacOS/Outside", app / "Contents/macos/App"); },
         "Contents/macos/App", true},
        {"the signature folder in another case",
         [&](const fs::path& app) { link("../../..", app / "Contents/_codesignature"); },
         "Contents/_codesignature", true},
        {"an identity entry in capitals reported before a resource",
         [&](const fs::path& app) {
             link(dir / "outside", app / "Contents/Resources/data");
             link(outside / "Contents/Info.plist", app / "CONTENTS/INFO.PLIST");
         },
         "CONTENTS/INFO.PLIST", true},
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

// One link at Contents/Resources/x: where its target leads by its text alone.
TEST_F(VerifierTest, ALinkIsJudgedByTheTextOfItsTarget) {
    struct Case {
        const char* target;
        bool inside;
    };
    const std::vector<Case> cases = {
        {"../../Contents/Info.plist", true}, // back to the bundle's top and down again
        {"./.././MacOS/App", true},
        {"..//MacOS//", true},
        {"../..", true},        // the bundle itself
        {"missing/file", true}, // dangling, inside
        {"...", true},          // a name, not a step back
        {"../../..", false},
        {"../../../App.app/Contents/MacOS/App", false},
        {"../../Contents/../../App.app/Contents", false},
        {"../MacOS/../MacOS/App", false}, // a step back after a name of its own
        {"../MacOS/App/..", false},
        {"/Applications/App.app/Contents/MacOS/App", false},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        bundle = build(BundleBuilder("T" + std::to_string(++n) + ".app")
                           .bundleID("com.example.app")
                           .shortVersion("2.0")
                           .buildVersion("300"));
        link(c.target, bundle / "Contents/Resources/x");
        const VerifyResult r = verify();
        if (c.inside) {
            expectPassed(r, {sizeNone, hashNone, extracted, signatureValid, teamMatch, gatekeeperAccepted,
                             bundleMatch, versionOK});
        } else {
            const std::string message = "bundle entry Contents/Resources/x resolves outside the bundle";
            expectAborted(r, {sizeNone, hashNone, {"extract", false, message}}, ErrorCode::UNS_ARCHIVE_FORMAT,
                          message);
        }
    }
}

TEST_F(VerifierTest, LinksThatStayInsideTheBundleAreAccepted) {
    bundle = build(
        BundleBuilder("Framed.app").bundleID("com.example.app").shortVersion("2.0").buildVersion("300"));
    // The layout of a framework, a chain of links into it, a link to the bundle itself, a dangling
    // link inside, and a link loop inside.
    const fs::path framework = bundle / "Contents/Frameworks/Kit.framework";
    fs::create_directories(framework / "Versions/A/Resources");
    pelsupport::writeText(framework / "Versions/A/Kit", "binary");
    pelsupport::writeText(framework / "Versions/A/Resources/Info.plist", "<plist/>");
    fs::create_symlink("A", framework / "Versions/Current");
    fs::create_symlink("Versions/Current/Kit", framework / "Kit");
    fs::create_symlink("Versions/Current/Resources", framework / "Resources");
    fs::create_symlink("./Versions/Current/Headers/", framework / "Headers");
    fs::create_directories(bundle / "Contents/Resources");
    fs::create_symlink("../Frameworks/Kit.framework/Kit", bundle / "Contents/Resources/kit");
    fs::create_symlink("../Frameworks", bundle / "Contents/Resources/frameworks");
    fs::create_symlink("../..", bundle / "Contents/Resources/bundle");
    fs::create_symlink("not-yet", bundle / "Contents/Resources/dangling");
    fs::create_symlink("loop-b", bundle / "Contents/Resources/loop-a");
    fs::create_symlink("loop-a", bundle / "Contents/Resources/loop-b");
    expectPassed(verify(), {sizeNone, hashNone, extracted, signatureValid, teamMatch, gatekeeperAccepted,
                            bundleMatch, versionOK});
}

} // namespace pelkit
