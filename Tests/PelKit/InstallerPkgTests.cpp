#include "PelKit/Installer.hpp"

#include "PelKit/Proc.hpp"
#include "PelKit/ScriptQuoting.hpp"
#include "Support/PelErrorAssertions.hpp"
#include "Support/ArchiveBuilder.hpp"
#include "Support/FakeDiskTools.hpp"
#include "Support/FakeInstallTools.hpp"
#include "Support/FakeTools.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <system_error>

using namespace pelkit;
using pelsupport::FakeReply;
using pelsupport::FakeTools;
using pelsupport::PkgInstallAction;
using pelsupport::PkgStandIn;
using pelsupport::PkgutilReply;
using pelsupport::TempDir;
namespace fs = std::filesystem;

namespace {

using Info = Installer::PkgSignatureInfo;

Url fileUrl(const fs::path& p) {
    return Url::fromFilePath(p.string());
}

InstalledApp exampleApp() {
    InstalledApp app;
    app.path = Url::fromFilePath("/Applications/Example.app");
    app.bundleID = "com.example.foo";
    app.name = "Example";
    return app;
}

using pelsupport::pelErrorOf;
using pelsupport::expectError;

// The time-out each tool asked for, while the given cap applies.
class TimeoutRecorder {
public:
    explicit TimeoutRecorder(double applied = 0)
        : guard_([this, applied](const std::string& path, double requested) {
              requested_[fs::path(path).filename().string()] = requested;
              return applied > 0 ? applied : requested;
          }) {}
    double requested(const std::string& tool) const {
        auto it = requested_.find(tool);
        return it == requested_.end() ? -1 : it->second;
    }

private:
    std::map<std::string, double> requested_;
    pelkit::testing::ScopedToolTimeout guard_;
};

PkgutilReply exitOneSayingSigned() {
    PkgutilReply r = pelsupport::pkgutilNumberedChain("Example Ltd", "ABCDE12345");
    r.status = 1;
    return r;
}

class InstallerPkgTest : public ::testing::Test {
protected:
    InstallerPkgTest() {
        pelsupport::installFakePkgutil(tools);
        pelsupport::installFakeInstaller(tools);
        pelsupport::installDecodingOsascript(tools);
    }

    fs::path pkg(const PkgStandIn& standIn, const std::string& name = "Example.pkg") {
        return pelsupport::buildPkg(standIn, dir / name);
    }

    InstallResult install(const fs::path& package, std::optional<std::string> expectedTeamID,
                          bool dryRun = false) {
        return Installer::installPkg(exampleApp(), fileUrl(package), expectedTeamID, InstallOptions(dryRun));
    }

    TempDir dir;
    FakeTools tools;
};

} // namespace

// ---- Reading the signature ----

TEST_F(InstallerPkgTest, InspectionReadsTheFirstCertificateLine) {
    struct Case {
        std::string name;
        PkgutilReply reply;
        Info expected;
    };
    auto line = pelsupport::pkgutilCertificateLine;
    const std::vector<Case> cases = {
        {"numbered chain",
         pelsupport::pkgutilNumberedChain("Example Ltd", "ABCDE12345"),
         {true, "ABCDE12345", "Example Ltd"}},
        {"bare line after tabs",
         line("\t\tDeveloper ID Installer: Example Ltd (ABCDE12345)"),
         {true, "ABCDE12345", "Example Ltd"}},
        {"two-digit number",
         line("   12. Developer ID Installer:   Example Ltd  (ABCDE12345) \t"),
         {true, "ABCDE12345", "Example Ltd"}},
        {"parentheses in the name",
         line("    1. Developer ID Installer: Example (UK) Ltd (ABCDE12345)"),
         {true, "ABCDE12345", "Example (UK) Ltd"}},
        {"close before open", line("Developer ID Installer: Example Ltd )ABCDE12345("), {true, {}, {}}},
        {"empty parentheses", line("Developer ID Installer: Example Ltd ()"), {true, {}, "Example Ltd"}},
        {"empty developer", line("Developer ID Installer:(ABCDE12345)"), {true, "ABCDE12345", ""}},
        {"no parentheses", line("Developer ID Installer: Example Ltd"), {true, {}, {}}},
        // Not the certificate line: no blank after the number's dot, a letter for a number.
        {"number without blank", line("1.Developer ID Installer: Example Ltd (ABCDE12345)"), {true, {}, {}}},
        {"letter for a number", line("a. Developer ID Installer: Example Ltd (ABCDE12345)"), {true, {}, {}}},
        {"exit 1 saying signed", exitOneSayingSigned(), {false, {}, {}}},
        {"signed without certificate line", pelsupport::pkgutilSignedWithoutCertificate(), {true, {}, {}}},
        {"no signature", pelsupport::pkgutilNoSignature(), {false, {}, {}}},
        {"no status line",
         {"custom", 0, "Developer ID Installer: Example Ltd (ABCDE12345)\n", ""},
         {false, "ABCDE12345", "Example Ltd"}},
    };
    for (const auto& c : cases) {
        auto package = pkg(PkgStandIn().withPkgutil(c.reply));
        Info info = Installer::inspectPkg(fileUrl(package));
        EXPECT_EQ(info.isSigned, c.expected.isSigned) << c.name;
        EXPECT_EQ(info.teamID, c.expected.teamID) << c.name;
        EXPECT_EQ(info.developer, c.expected.developer) << c.name;
    }
    auto calls = tools.calls("pkgutil");
    ASSERT_EQ(calls.size(), cases.size());
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"--check-signature", (dir / "Example.pkg").string()}));
}

TEST_F(InstallerPkgTest, OnlyTheFirstCertificateLineCounts) {
    PkgutilReply reply = pelsupport::pkgutilCertificateLine("    1. Developer ID Installer: First )x(");
    reply.out += "    4. Developer ID Installer: Second (SECOND1234)\n";
    Info info = Installer::inspectPkg(fileUrl(pkg(PkgStandIn().withPkgutil(reply))));
    EXPECT_TRUE(info.isSigned);
    EXPECT_EQ(info.teamID, std::nullopt);
    EXPECT_EQ(info.developer, std::nullopt);
}

// pkgutil begins its answer by echoing the package's file name, which comes from the archive the
// package was in: a name holding a line break could pass for a certificate or a status line.
TEST_F(InstallerPkgTest, APathHoldingAControlCharacterIsRefusedBeforePkgutilRuns) {
    const std::string victimLine = "    1. Developer ID Installer: Victim Ltd (VICTIM1234)";
    const std::string trustedLine =
        "   Status: signed by a developer certificate issued by Apple for distribution";
    struct Case {
        std::string name;
        std::string fileName;
        PkgutilReply reply;
    };
    const std::vector<Case> cases = {
        {"another team naming the victim's certificate", "Other\n" + victimLine + "\n.pkg",
         pelsupport::pkgutilNumberedChain("Other Ltd", "OTHER12345")},
        {"an untrusted package naming a trusted status", "Other\n" + trustedLine + "\n.pkg",
         pelsupport::pkgutilStatus("signed by untrusted certificate")},
        {"carriage return", "Other\rx.pkg", pelsupport::pkgutilNumberedChain("Example Ltd", "ABCDE12345")},
        {"tab", "Other\tx.pkg", pelsupport::pkgutilNumberedChain("Example Ltd", "ABCDE12345")},
        {"DEL", "Other\x7f.pkg", pelsupport::pkgutilNumberedChain("Example Ltd", "ABCDE12345")},
        {"next line (U+0085)", "Other\u0085.pkg",
         pelsupport::pkgutilNumberedChain("Example Ltd", "ABCDE12345")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto package = pkg(PkgStandIn().withPkgutil(c.reply), c.fileName);
        EXPECT_EQ(Installer::inspectPkg(fileUrl(package)), (Info{false, {}, {}}));
        for (bool dryRun : {true, false}) {
            expectError(pelErrorOf([&] { install(package, "VICTIM1234", dryRun); }),
                        ErrorCode::SEC_SIGNATURE_INVALID, "com.example.foo",
                        "control character in the pkg path");
        }
    }
    // A folder above the package counts as well: it came out of the same archive.
    auto nested = pkg(PkgStandIn(), "Other\n" + victimLine + "\n/Example.pkg");
    expectError(pelErrorOf([&] { install(nested, "VICTIM1234"); }), ErrorCode::SEC_SIGNATURE_INVALID,
                "com.example.foo", "control character in the pkg path");
    EXPECT_EQ(tools.callCount("pkgutil"), 0);
    EXPECT_EQ(tools.callCount("osascript"), 0);

    // The fake echoes such a name as the real tool does, so the forged line would have been there.
    auto forged = dir / ("Other\n" + victimLine + "\n.pkg");
    ProcResult shown = Proc::run(tools.path("pkgutil"), {"--check-signature", forged.string()}, 60);
    EXPECT_TRUE(shown.stdout.starts_with("Package \"Other\n" + victimLine + "\n.pkg\":\n   Status: signed"))
        << shown.stdout;
}

// Texts of the tool's own lines in a name without line breaks stay on the echoed line.
TEST_F(InstallerPkgTest, TheEchoedNameIsNotReadAsTheToolsLines) {
    const std::string fileName = "Status: signed by a developer certificate issued by Apple 1. Developer ID "
                                 "Installer: Victim (VICTIM1234).pkg";
    auto untrusted =
        pkg(PkgStandIn().withPkgutil(pelsupport::pkgutilStatus("signed by untrusted certificate")), fileName);
    EXPECT_EQ(Installer::inspectPkg(fileUrl(untrusted)), (Info{false, "ABCDE12345", "Example Ltd"}));
    auto other =
        pkg(PkgStandIn().withPkgutil(pelsupport::pkgutilNumberedChain("Other Ltd", "OTHER12345")), fileName);
    EXPECT_EQ(Installer::inspectPkg(fileUrl(other)), (Info{true, "OTHER12345", "Other Ltd"}));
    expectError(pelErrorOf([&] { install(other, "VICTIM1234"); }), ErrorCode::SEC_TEAMID_MISMATCH,
                "com.example.foo", "pkg signed by OTHER12345, installed app signed by VICTIM1234");
    EXPECT_EQ(install(other, "OTHER12345", true).message(),
              "dry-run: would install pkg " + fileName + " (Team OTHER12345)");
    ProcResult shown = Proc::run(tools.path("pkgutil"), {"--check-signature", other.string()}, 60);
    EXPECT_TRUE(shown.stdout.starts_with("Package \"" + fileName + "\":\n")) << shown.stdout;
}

TEST_F(InstallerPkgTest, InspectionFailsWithoutPkgutilAndPassesTheRunnersErrorsOn) {
    auto package = pkg(PkgStandIn());
    {
        TimeoutRecorder recorder;
        Installer::inspectPkg(fileUrl(package));
        EXPECT_EQ(recorder.requested("pkgutil"), 60);
    }

    tools.install("pkgutil", FakeReply().withDelay(5));
    {
        pelkit::testing::ScopedToolTimeout fast(pelsupport::shortTimeOutFor("pkgutil", 0.2));
        expectError(pelErrorOf([&] { Installer::inspectPkg(fileUrl(package)); }), ErrorCode::INT_UNEXPECTED,
                    std::nullopt, tools.path("pkgutil") + " timeout after 60s");
    }

    tools.remove("pkgutil");
    expectError(pelErrorOf([&] { Installer::inspectPkg(fileUrl(package)); }), ErrorCode::INT_UNEXPECTED,
                std::nullopt, "pkgutil not found");
    // Neither error gets as far as the installer.
    expectError(pelErrorOf([&] { install(package, "ABCDE12345"); }), ErrorCode::INT_UNEXPECTED, std::nullopt,
                "pkgutil not found");
    EXPECT_EQ(tools.callCount("osascript"), 0);
}

TEST_F(InstallerPkgTest, AStandInInsideAnArchiveInspectsLikeTheBareFile) {
    pelsupport::installFakeDitto(tools);
    pkg(PkgStandIn().withPkgutil(pelsupport::pkgutilNumberedChain("Example Ltd", "ABCDE12345")),
        "tree/Example.pkg");
    auto zip = pelsupport::buildZip(dir / "tree", dir / "Example.zip");
    Url found = Installer::extract(fileUrl(zip), fileUrl(dir / "extracted"));
    EXPECT_EQ(found.lastPathComponent(), "Example.pkg");
    EXPECT_EQ(Installer::inspectPkg(found), (Info{true, "ABCDE12345", "Example Ltd"}));
}

// ---- Installing ----

TEST_F(InstallerPkgTest, SignatureAndTeamChecksComeBeforeAnythingElse) {
    struct Case {
        std::string name;
        PkgutilReply reply;
        std::optional<std::string> expectedTeamID;
        bool dryRun;
        ErrorCode code;
        std::string message;
    };
    const std::string unsignedMessage = "pkg is not signed by a Developer ID Installer certificate";
    const std::vector<Case> cases = {
        {"unsigned, dry run", pelsupport::pkgutilNoSignature(), "ABCDE12345", true,
         ErrorCode::SEC_SIGNATURE_INVALID, unsignedMessage},
        {"exit 1 saying signed", exitOneSayingSigned(), std::nullopt, false, ErrorCode::SEC_SIGNATURE_INVALID,
         unsignedMessage},
        {"other team", pelsupport::pkgutilNumberedChain("Example Ltd", "ABCDE12345"), "ZZZZZ99999", false,
         ErrorCode::SEC_TEAMID_MISMATCH, "pkg signed by ABCDE12345, installed app signed by ZZZZZ99999"},
        {"team differs in case only", pelsupport::pkgutilNumberedChain("Example Ltd", "ABCDE12345"),
         "abcde12345", true, ErrorCode::SEC_TEAMID_MISMATCH,
         "pkg signed by ABCDE12345, installed app signed by abcde12345"},
    };
    for (const auto& c : cases) {
        auto package = pkg(PkgStandIn().withPkgutil(c.reply));
        expectError(pelErrorOf([&] { install(package, c.expectedTeamID, c.dryRun); }), c.code,
                    "com.example.foo", c.message);
    }
    EXPECT_EQ(tools.callCount("osascript"), 0);
    EXPECT_EQ(tools.callCount("installer"), 0);
}

TEST_F(InstallerPkgTest, OnlyATrustedSignatureCountsAsSigned) {
    struct Case {
        std::string status;
        int exitStatus;
        bool isSigned;
    };
    const std::vector<Case> cases = {
        {"signed by a developer certificate issued by Apple for distribution", 0, true},
        {"signed Apple Software", 0, true},
        {"signed by untrusted certificate", 0, false},
        {"signed by a certificate that has since been revoked", 0, false},
        {"signed by a certificate that has expired", 0, false},
        {"signed by a certificate that is Untrusted", 0, false},
        {"no signature", 0, false},
        {"unsigned; signed by nobody", 0, false},
        {"", 0, false},
        {"signed by a developer certificate issued by Apple for distribution", 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status + " / exit " + std::to_string(c.exitStatus));
        auto package = pkg(PkgStandIn().withPkgutil(pelsupport::pkgutilStatus(c.status, c.exitStatus)));
        EXPECT_EQ(Installer::inspectPkg(fileUrl(package)).isSigned, c.isSigned);
        if (c.isSigned) {
            EXPECT_TRUE(install(package, "ABCDE12345", true).success());
        } else {
            expectError(pelErrorOf([&] { install(package, "ABCDE12345"); }), ErrorCode::SEC_SIGNATURE_INVALID,
                        "com.example.foo", "pkg is not signed by a Developer ID Installer certificate");
        }
    }
    // A "Status: signed" further down (a certificate's name, say) does not outvote the status line.
    PkgutilReply later = pelsupport::pkgutilStatus("signed by untrusted certificate");
    later.out += "    3. Status: signed\n";
    EXPECT_FALSE(Installer::inspectPkg(fileUrl(pkg(PkgStandIn().withPkgutil(later)))).isSigned);
    EXPECT_EQ(tools.callCount("installer"), 0);
}

TEST_F(InstallerPkgTest, PackagesThatPassTheChecks) {
    struct Case {
        std::string name;
        PkgutilReply reply;
        std::optional<std::string> expectedTeamID;
        std::string team; // as the messages show it
    };
    const std::vector<Case> cases = {
        {"same team", pelsupport::pkgutilNumberedChain("Example Ltd", "ABCDE12345"), "ABCDE12345",
         "ABCDE12345"},
        {"no expected team", pelsupport::pkgutilNumberedChain("Other Ltd", "OTHER12345"), std::nullopt,
         "OTHER12345"},
        {"package without a team", pelsupport::pkgutilSignedWithoutCertificate(), "ABCDE12345", "?"},
        {"empty parentheses", pelsupport::pkgutilCertificateLine("Developer ID Installer: Example Ltd ()"),
         "ABCDE12345", "?"},
    };
    for (const auto& c : cases) {
        tools.clearCalls();
        auto package = pkg(PkgStandIn().withPkgutil(c.reply));

        InstallResult dry = install(package, c.expectedTeamID, true);
        EXPECT_TRUE(dry.success()) << c.name;
        EXPECT_EQ(dry.message(), "dry-run: would install pkg Example.pkg (Team " + c.team + ")") << c.name;
        EXPECT_EQ(dry.backupURL(), std::nullopt);
        EXPECT_EQ(dry.error(), std::nullopt);
        EXPECT_EQ(tools.callCount("osascript"), 0) << c.name;

        InstallResult real = install(package, c.expectedTeamID);
        EXPECT_TRUE(real.success()) << c.name;
        EXPECT_EQ(real.message(), "installer -pkg completed (Team " + c.team + ")") << c.name;
        EXPECT_EQ(real.backupURL(), std::nullopt);
        EXPECT_EQ(real.error(), std::nullopt);
        EXPECT_EQ(tools.callCount("pkgutil"), 2) << c.name;
        ASSERT_EQ(tools.callCount("installer"), 1) << c.name;
        EXPECT_EQ(tools.calls("installer")[0].args,
                  (std::vector<std::string>{"-pkg", package.string(), "-target", "/"}));
    }
}

TEST_F(InstallerPkgTest, TheScriptIsTheInstallerCommandBehindTheAdministratorPrompt) {
    const std::string head = "do shell script \"/usr/sbin/installer -pkg ";
    const std::string tail = " -target /\" with administrator privileges";
    ASSERT_EQ(head.size(), 42u);
    ASSERT_EQ(tail.size(), 41u);

    auto plist = dir / "Example.app/Contents/Info.plist";
    auto package = pkg(
        PkgStandIn().withInstall(PkgInstallAction().writing(plist, "<plist>\n\t\"2.0\" \\ é\n</plist>\n")));
    TimeoutRecorder recorder;
    install(package, "ABCDE12345");

    auto calls = tools.calls("osascript");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"-e", head + "'" + package.string() + "'" + tail}));
    EXPECT_EQ(recorder.requested("osascript"), 900);
    // The installer did what the package says.
    EXPECT_EQ(pelsupport::readText(plist), "<plist>\n\t\"2.0\" \\ é\n</plist>\n");
}

TEST_F(InstallerPkgTest, AHostilePathReachesTheInstallerAsOneArgumentAndRunsNothing) {
    const fs::path canary1 = dir / "canary-1", canary2 = dir / "canary-2", canary3 = dir / "canary-3";
    ::setenv("PEL_CANARY_1", canary1.c_str(), 1);
    ::setenv("PEL_CANARY_2", canary2.c_str(), 1);
    ::setenv("PEL_CANARY_3", canary3.c_str(), 1);
    const std::string name = "it's \"q\" \\ \\\" %41 $HOME `touch $PEL_CANARY_1` $(touch $PEL_CANARY_2) "
                             "\"&(do shell script \"touch $PEL_CANARY_3\")&\" '; touch $PEL_CANARY_3; '.pkg";
    auto package = pkg(PkgStandIn(), name);

    InstallResult r = install(package, "ABCDE12345");
    EXPECT_EQ(r.message(), "installer -pkg completed (Team ABCDE12345)");

    auto calls = tools.calls("installer");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"-pkg", package.string(), "-target", "/"}));
    auto commands = pelsupport::osascriptShellCommands(tools);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0], pelsupport::shQuote(tools.path("installer")) + " -pkg " +
                               shellQuote(package.string()) + " -target /");
    for (const auto& canary : {canary1, canary2, canary3})
        EXPECT_FALSE(fs::exists(canary)) << canary;
}

TEST_F(InstallerPkgTest, TheDecodingOsascriptRefusesALiteralThatEndsEarly) {
    // What a shell-quoted path without the script escape would make of this name.
    const fs::path canary = dir / "canary";
    ::setenv("PEL_CANARY_EARLY", canary.c_str(), 1);
    auto package = pkg(PkgStandIn(), "a\" & (do shell script \"touch $PEL_CANARY_EARLY\") & \"b.pkg");
    const std::string script = "do shell script \"/usr/sbin/installer -pkg " + shellQuote(package.string()) +
                               " -target /\" with administrator privileges";
    auto r = Proc::run(tools.path("osascript"), {"-e", script}, 10);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.stderr.find("syntax error"), std::string::npos) << r.stderr;
    EXPECT_EQ(tools.callCount("installer"), 0);
    EXPECT_FALSE(fs::exists(canary));
}

TEST_F(InstallerPkgTest, TheDecodingOsascriptRedirectsOnlyCommandWordsOutsideQuotes) {
    // The shape of the administrator replacement script: remove, then copy in.
    pelsupport::installFakeDitto(tools);
    pelsupport::writeText(dir / "Old.app/Contents/old", "old");
    pelsupport::writeText(dir / "New.app/Contents/new", "new");
    const std::string installed = (dir / "Old.app").string();
    const std::string shell = "/bin/rm -rf " + shellQuote(installed) + " && /usr/bin/ditto " +
                              shellQuote((dir / "New.app").string()) + " " + shellQuote(installed) +
                              "; printf '%s|' /usr/bin/ditto '/usr/sbin/installer' \"/usr/bin/ditto\"";
    auto r = Proc::run(
        tools.path("osascript"),
        {"-e", "do shell script \"" + appleScriptEscape(shell) + "\" with administrator privileges"}, 10);
    ASSERT_TRUE(r.ok()) << r.stderr;
    EXPECT_EQ(r.stdout, "/usr/bin/ditto|/usr/sbin/installer|/usr/bin/ditto|");
    EXPECT_FALSE(fs::exists(dir / "Old.app/Contents/old"));
    EXPECT_EQ(pelsupport::readText(dir / "Old.app/Contents/new"), "new");
    ASSERT_EQ(tools.callCount("ditto"), 1);
    EXPECT_EQ(tools.calls("ditto")[0].args,
              (std::vector<std::string>{(dir / "New.app").string(), installed}));
}

TEST_F(InstallerPkgTest, InstallerFailures) {
    struct Case {
        std::string name;
        pelsupport::OsascriptOptions osascript;
        PkgInstallAction action;
        ErrorCode code;
        std::string message;
    };
    auto mode = [](pelsupport::OsascriptMode m, std::string err = {}) {
        pelsupport::OsascriptOptions o;
        o.mode = m;
        if (!err.empty()) o.failError = std::move(err);
        return o;
    };
    using pelsupport::OsascriptMode;
    const std::vector<Case> cases = {
        {"prompt cancelled",
         mode(OsascriptMode::cancel),
         {},
         ErrorCode::ENV_NOT_WRITABLE,
         "admin password prompt cancelled"},
        {"-128 amid other text",
         mode(OsascriptMode::fail, "0:97: execution error: gave up (code -128) here\n"),
         {},
         ErrorCode::ENV_NOT_WRITABLE,
         "admin password prompt cancelled"},
        {"User canceled amid other text",
         mode(OsascriptMode::fail, "\n  oops: User canceled it\n"),
         {},
         ErrorCode::ENV_NOT_WRITABLE,
         "admin password prompt cancelled"},
        {"osascript fails",
         mode(OsascriptMode::fail, "\n 0:95: execution error: no (-10810)\r\n\t"),
         {},
         ErrorCode::INT_UNEXPECTED,
         "installer failed: 0:95: execution error: no (-10810)"},
        {"installer fails",
         {},
         PkgInstallAction().failing(1, "\ninstaller: Error - the package is damaged.\n\n"),
         ErrorCode::INT_UNEXPECTED,
         "installer failed: installer: Error - the package is damaged."},
        {"installer fails silently",
         {},
         PkgInstallAction().failing(3, ""),
         ErrorCode::INT_UNEXPECTED,
         "installer failed: "},
    };
    for (const auto& c : cases) {
        pelsupport::installDecodingOsascript(tools, c.osascript);
        auto package = pkg(PkgStandIn().withInstall(c.action));
        PelError e = pelErrorOf([&] { install(package, "ABCDE12345"); });
        SCOPED_TRACE(c.name);
        expectError(e, c.code, "com.example.foo", c.message);
    }
}

TEST_F(InstallerPkgTest, OsascriptMissingOrOutlivingItsTimeOut) {
    auto package = pkg(PkgStandIn());
    tools.install("osascript", FakeReply().withDelay(5));
    {
        pelkit::testing::ScopedToolTimeout fast(pelsupport::shortTimeOutFor("osascript", 0.2));
        expectError(pelErrorOf([&] { install(package, "ABCDE12345"); }), ErrorCode::INT_UNEXPECTED,
                    std::nullopt, tools.path("osascript") + " timeout after 900s");
    }
    tools.remove("osascript");
    expectError(pelErrorOf([&] { install(package, "ABCDE12345"); }), ErrorCode::INT_UNEXPECTED, std::nullopt,
                "osascript not found");
    // A dry run never needs it.
    EXPECT_EQ(install(package, "ABCDE12345", true).message(),
              "dry-run: would install pkg Example.pkg (Team ABCDE12345)");
}

// ---- Homebrew ----

namespace {

std::string repeat(std::string_view piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

} // namespace

TEST(InstallViaBrew, RunsBrewOnceWithTheTokenAsOneArgument) {
    FakeTools tools;
    pelsupport::installFakeBrew(tools, FakeReply().withOut("==> Installing Cask example\nall good\n"));
    TimeoutRecorder recorder;
    std::vector<std::string> progress;
    for (std::string token : {"example", "font-fira-code@3.1+beta_x.y", "0ad"}) {
        progress.clear();
        InstallResult r =
            Installer::installViaBrew(token, [&](const std::string& line) { progress.push_back(line); });
        EXPECT_TRUE(r.success());
        EXPECT_EQ(r.message(),
                  "brew install --cask " + token + " ok — ==> Installing Cask example\nall good");
        EXPECT_EQ(r.backupURL(), std::nullopt);
        EXPECT_EQ(r.error(), std::nullopt);
        EXPECT_EQ(progress, (std::vector<std::string>{"brew install --cask " + token + " --force"}));
        EXPECT_EQ(tools.calls("brew").back().args,
                  (std::vector<std::string>{"install", "--cask", token, "--force"}));
    }
    EXPECT_EQ(recorder.requested("brew"), 900);
    EXPECT_EQ(Installer::brewPath(), tools.path("brew"));
    // Without a callback it runs all the same.
    EXPECT_EQ(Installer::installViaBrew("example").message(),
              "brew install --cask example ok — ==> Installing Cask example\nall good");
}

TEST(InstallViaBrew, OnlyTokensOfTheCataloguesFormReachBrew) {
    FakeTools tools;
    pelsupport::installFakeBrew(tools);
    int progressCalls = 0;
    for (const std::string& token : std::vector<std::string>{"-v", "--debug", "-", "", "Example", "my cask", "a/b", "caf\u00e9", "x;y",
                              "my \"odd\" 'cask' $(touch x) `y`", std::string("a\0b", 3), "a\nb"}) {
        SCOPED_TRACE(token);
        expectError(pelErrorOf([&] {
                        Installer::installViaBrew(token, [&](const std::string&) { ++progressCalls; });
                    }),
                    ErrorCode::UNS_ARCHIVE_FORMAT, std::nullopt, "unusable cask token");
        EXPECT_FALSE(Installer::isUsableCaskToken(token));
    }
    EXPECT_EQ(tools.callCount("brew"), 0);
    EXPECT_EQ(progressCalls, 0);
}

TEST(InstallViaBrew, TheSuccessMessageKeepsAShortTrimmedTailOfTheOutput) {
    const std::string accent = "e\u0301";
    const std::string thumb = "\U0001F44D\U0001F3FD";
    const std::string flag = "\U0001F1EB\U0001F1F7";
    struct Case {
        std::string name;
        std::string out;
        std::string kept;
    };
    const std::vector<Case> cases = {
        {"empty", "", ""},
        {"only white space", " \n\t\n", ""},
        // Tail first, then trim, then cut: trimming first would keep 120 letters.
        {"letters then line feeds", repeat("a", 300) + repeat("\n", 100), repeat("a", 100)},
        {"long line", "X" + repeat("b", 119) + repeat("c", 81), repeat("b", 119) + "c"},
        {"combining sequences", "A" + repeat(accent, 200), repeat(accent, 120)},
        {"emoji", "B" + repeat(thumb, 100) + repeat(flag, 100), repeat(thumb, 100) + repeat(flag, 20)},
    };
    for (const auto& c : cases) {
        FakeTools tools;
        pelsupport::installFakeBrew(tools, FakeReply().withOut(c.out));
        EXPECT_EQ(Installer::installViaBrew("example").message(),
                  "brew install --cask example ok — " + c.kept)
            << c.name;
    }
}

TEST(InstallViaBrew, FailuresCarryTheTrimmedTailOfStandardError) {
    struct Case {
        std::string name;
        FakeReply reply;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"plain", FakeReply().withStatus(1).withErr("  Error: Cask 'example' is unavailable.\n"),
         "brew install failed: Error: Cask 'example' is unavailable."},
        {"empty standard error", FakeReply().withStatus(1).withOut("lots of output\n"),
         "brew install failed: "},
        {"long standard error", FakeReply().withStatus(2).withErr(repeat("b", 100) + repeat("a", 399) + "\n"),
         "brew install failed: " + repeat("a", 399)},
        {"ended by a signal", FakeReply().endedBySignal(9).withErr("Killed\n"),
         "brew install failed: Killed"},
    };
    for (const auto& c : cases) {
        FakeTools tools;
        pelsupport::installFakeBrew(tools, c.reply);
        SCOPED_TRACE(c.name);
        expectError(pelErrorOf([] { Installer::installViaBrew("example"); }), ErrorCode::INT_UNEXPECTED,
                    std::nullopt, c.message);
    }
}

TEST(InstallViaBrew, MissingBrewOrOneThatHangs) {
    FakeTools tools;
    int progressCalls = 0;
    auto countProgress = [&](const std::string&) { ++progressCalls; };
    EXPECT_EQ(Installer::brewPath(), std::nullopt);
    expectError(pelErrorOf([&] { Installer::installViaBrew("example", countProgress); }),
                ErrorCode::INT_UNEXPECTED, std::nullopt, "brew not in PATH — install from https://brew.sh");
    EXPECT_EQ(progressCalls, 0);

    pelsupport::installFakeBrew(tools, FakeReply().withDelay(5));
    pelkit::testing::ScopedToolTimeout fast(pelsupport::shortTimeOutFor("brew", 0.2));
    expectError(pelErrorOf([&] { Installer::installViaBrew("example", countProgress); }),
                ErrorCode::INT_UNEXPECTED, std::nullopt, tools.path("brew") + " timeout after 900s");
    EXPECT_EQ(progressCalls, 1);
}
