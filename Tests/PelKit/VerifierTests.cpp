#include "PelKit/VerifierFixture.hpp"

#include "PelKit/Proc.hpp"
#include "Platform/Plist.hpp"
#include "Support/PlistBytes.hpp"

#include <functional>
#include <mutex>

namespace pelkit {

namespace {

using pelsupport::BundleBuilder;
using pelsupport::FakeBundleTools;
using pelsupport::FakeReply;
using pelsupport::FakeTools;
using platform::PlistValue;

OverrideEntry teamOverride(std::optional<std::string> teamID) {
    OverrideEntry e;
    e.expectedTeamID = std::move(teamID);
    return e;
}

OverrideEntry previousIDs(std::vector<std::string> ids) {
    OverrideEntry e;
    e.previousBundleIDs = std::move(ids);
    return e;
}

FakeReply slowReply(double seconds) {
    FakeReply r;
    r.delaySeconds = seconds;
    return r;
}

} // namespace

using namespace verifiertest;

TEST_F(VerifierTest, EveryStepPassesWithTheToolsCommandLines) {
    std::mutex m;
    std::vector<std::pair<std::string, double>> requested;
    pelkit::testing::ScopedToolTimeout record([&](const std::string& path, double seconds) {
        std::lock_guard lock(m);
        requested.emplace_back(fs::path(path).filename().string(), seconds);
        return seconds;
    });
    expectPassed(verify(), {sizeNone, hashNone, extracted, signatureValid, teamMatch, gatekeeperAccepted,
                            bundleMatch, versionOK});

    const std::string app = bundle.string();
    const auto codesign = tools.calls("codesign");
    ASSERT_FALSE(codesign.empty());
    EXPECT_EQ(codesign[0].args,
              (std::vector<std::string>{"--verify", "--deep", "--strict", "--verbose=2", app}));
    const auto spctl = tools.calls("spctl");
    ASSERT_EQ(spctl.size(), 1u);
    EXPECT_EQ(spctl[0].args, (std::vector<std::string>{"--assess", "--type", "execute", "--verbose", app}));
    // --verify runs first; the later codesign runs are the Team ID reads (-dv, 15 s).
    ASSERT_GE(requested.size(), 3u);
    EXPECT_EQ(requested[0], (std::pair<std::string, double>{"codesign", 300}));
    const auto spctlRun =
        std::find_if(requested.begin(), requested.end(), [](auto& p) { return p.first == "spctl"; });
    ASSERT_NE(spctlRun, requested.end());
    EXPECT_EQ(spctlRun->second, 60);
}

TEST_F(VerifierTest, SizeAndHashSteps) {
    const std::string digest = platform::sha256Hex(std::string(1000, 'z'));
    std::string upper = digest;
    for (auto& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string wrong(64, '0');
    const Steps rest = {extracted, signatureValid, teamMatch, gatekeeperAccepted, bundleMatch, versionOK};
    auto with = [&](Steps head) {
        head.insert(head.end(), rest.begin(), rest.end());
        return head;
    };

    struct Case {
        const char* name;
        std::size_t fileSize;
        std::optional<std::int64_t> size;
        std::optional<std::string> sha;
        Steps steps;
        std::optional<ErrorCode> code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"1009 of 1000 passes", 1009, 1000, std::nullopt,
         with({{"size", true, "expected 1000, got 1009"}, hashNone}), std::nullopt, ""},
        {"1010 of 1000 fails",
         1010,
         1000,
         std::nullopt,
         {{"size", false, "expected 1000, got 1010"}},
         ErrorCode::SRC_FEED_MALFORMED,
         "size mismatch 1010 vs 1000"},
        {"990 of 1000 fails",
         990,
         1000,
         std::nullopt,
         {{"size", false, "expected 1000, got 990"}},
         ErrorCode::SRC_FEED_MALFORMED,
         "size mismatch 990 vs 1000"},
        {"expected 0 fails",
         1000,
         0,
         std::nullopt,
         {{"size", false, "expected 0, got 1000"}},
         ErrorCode::SRC_FEED_MALFORMED,
         "size mismatch 1000 vs 0"},
        {"expected 0 fails even for an empty file",
         0,
         0,
         std::nullopt,
         {{"size", false, "expected 0, got 0"}},
         ErrorCode::SRC_FEED_MALFORMED,
         "size mismatch 0 vs 0"},
        {"upper-case hash matches", 1000, 1000, upper,
         with({{"size", true, "expected 1000, got 1000"}, {"sha256", true, "match"}}), std::nullopt, ""},
        {"wrong hash",
         1000,
         1000,
         wrong,
         {{"size", true, "expected 1000, got 1000"}, {"sha256", false, digest + " != " + wrong}},
         ErrorCode::SRC_HASH_MISMATCH,
         "sha256 mismatch"},
        {"empty hash is a wrong hash",
         1000,
         std::nullopt,
         std::string(),
         {sizeNone, {"sha256", false, digest + " != "}},
         ErrorCode::SRC_HASH_MISMATCH,
         "sha256 mismatch"},
        {"neither given", 1000, std::nullopt, std::nullopt, with({sizeNone, hashNone}), std::nullopt, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pelsupport::writeText(download, std::string(c.fileSize, 'z'));
        VerifyResult r = verify(c.size, c.sha);
        if (c.code)
            expectAborted(r, c.steps, *c.code, c.message);
        else
            expectPassed(r, c.steps);
    }
}

TEST_F(VerifierTest, UnreadableDownloadAbortsWithoutAHashStep) {
    fs::remove(download);
    fs::create_directories(download);
    VerifyResult r = verify(std::nullopt, std::string(64, 'a'));
    EXPECT_EQ(r.steps, (Steps{sizeNone}));
    EXPECT_TRUE(r.aborted);
    EXPECT_EQ(r.abortCode, ErrorCode::INT_UNEXPECTED);
    ASSERT_TRUE(r.abortMessage);
    EXPECT_EQ(r.abortMessage->rfind("sha256 read failed: ", 0), 0u) << *r.abortMessage;
    EXPECT_NE(r.abortMessage->find(download.string()), std::string::npos) << *r.abortMessage;

    // A missing download reads as size 0.
    fs::remove_all(download);
    expectAborted(verify(1000), {{"size", false, "expected 1000, got 0"}}, ErrorCode::SRC_FEED_MALFORMED,
                  "size mismatch 0 vs 1000");
}

// The download's own two steps, for packages: the same rules and texts, no tool run.
TEST_F(VerifierTest, DownloadOnlyVerificationRunsTheSizeAndHashStepsAlone) {
    const std::string digest = platform::sha256Hex(std::string(1000, 'z'));
    const std::string wrong(64, '0');
    struct Case {
        const char* name;
        std::optional<std::int64_t> size;
        std::optional<std::string> sha;
        Steps steps;
        std::optional<ErrorCode> code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"neither given", std::nullopt, std::nullopt, {sizeNone, hashNone}, std::nullopt, ""},
        {"both match",
         1009,
         digest,
         {{"size", true, "expected 1009, got 1000"}, {"sha256", true, "match"}},
         std::nullopt,
         ""},
        {"wrong size",
         990,
         digest,
         {{"size", false, "expected 990, got 1000"}},
         ErrorCode::SRC_FEED_MALFORMED,
         "size mismatch 1000 vs 990"},
        {"wrong hash",
         std::nullopt,
         wrong,
         {sizeNone, {"sha256", false, digest + " != " + wrong}},
         ErrorCode::SRC_HASH_MISMATCH,
         "sha256 mismatch"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const VerifyResult r = Verifier::verifyDownload(Url::fromFilePath(download.string()), c.size, c.sha);
        EXPECT_EQ(r.steps, c.steps);
        EXPECT_EQ(r.aborted, c.code.has_value());
        EXPECT_EQ(r.abortCode, c.code);
        EXPECT_EQ(r.abortMessage, c.code ? std::optional<std::string>(c.message) : std::nullopt);
        EXPECT_FALSE(r.extractedApp);
    }
    EXPECT_EQ(tools.callCount("codesign") + tools.callCount("spctl"), 0);

    fs::remove(download);
    fs::create_directories(download);
    const VerifyResult unreadable =
        Verifier::verifyDownload(Url::fromFilePath(download.string()), std::nullopt, digest);
    EXPECT_EQ(unreadable.steps, (Steps{sizeNone}));
    EXPECT_EQ(unreadable.abortCode, ErrorCode::INT_UNEXPECTED);
    ASSERT_TRUE(unreadable.abortMessage);
    EXPECT_TRUE(unreadable.abortMessage->starts_with("sha256 read failed: ")) << *unreadable.abortMessage;
}

// A digest the caller already has (taken as the file was received) is compared as the file's own:
// the file is not read for it, so an unreadable one passes on a matching digest.
TEST_F(VerifierTest, AKnownDigestStandsForReadingTheFile) {
    const std::string digest = platform::sha256Hex(std::string(1000, 'z'));
    const std::string other(64, 'b');
    std::string upper = digest;
    for (char& ch : upper)
        if (ch >= 'a' && ch <= 'f') ch = static_cast<char>(ch - 'a' + 'A');
    fs::remove(download);
    fs::create_directories(download); // reading it would fail
    const Url url = Url::fromFilePath(download.string());
    struct Case {
        const char* name;
        std::string known;
        std::string expected;
        bool passed;
    };
    const Case cases[] = {
        {"match", digest, digest, true},
        {"match ignoring case", digest, upper, true},
        {"mismatch", other, digest, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const VerifyResult r = Verifier::verifyDownload(url, std::nullopt, c.expected, c.known);
        if (c.passed) {
            EXPECT_EQ(r.steps, (Steps{sizeNone, {"sha256", true, "match"}}));
            EXPECT_FALSE(r.aborted);
        } else {
            EXPECT_EQ(r.steps, (Steps{sizeNone, {"sha256", false, c.known + " != " + c.expected}}));
            EXPECT_EQ(r.abortCode, ErrorCode::SRC_HASH_MISMATCH);
        }
    }
    // The full verification takes it the same way, and still stops on a mismatch.
    expectAborted(Verifier::verify(url, Url::fromFilePath(bundle.string()), std::nullopt, digest, installed,
                                   remote, overrides, nullptr, other),
                  {sizeNone, {"sha256", false, other + " != " + digest}}, ErrorCode::SRC_HASH_MISMATCH,
                  "sha256 mismatch");
}

TEST_F(VerifierTest, RejectedSignatureStopsBeforeTheTeamID) {
    pelsupport::markSignatureRejected(bundle, "\n  " + bundle.string() +
                                                  ": a sealed resource is missing or invalid\n\t\n");
    expectAborted(verify(),
                  {sizeNone,
                   hashNone,
                   extracted,
                   {"signature", false, bundle.string() + ": a sealed resource is missing or invalid"}},
                  ErrorCode::SEC_SIGNATURE_INVALID, "codesign --verify failed");
    for (const auto& c : tools.calls("codesign"))
        EXPECT_EQ(std::find(c.args.begin(), c.args.end(), "-dv"), c.args.end()) << "no Team ID read";
    EXPECT_EQ(tools.callCount("spctl"), 0);
}

TEST_F(VerifierTest, MissingCodesignAbortsWithoutASignatureStep) {
    fakes.removeCodesign();
    expectAborted(verify(), {sizeNone, hashNone, extracted}, ErrorCode::INT_UNEXPECTED, "codesign not found");
}

TEST_F(VerifierTest, CodesignTimingOutAbortsWithoutASignatureStep) {
    FakeTools slowTools;
    FakeBundleTools slow{slowTools};
    pelsupport::addCodesignVerify(slow, {.delaySeconds = 5});
    pelkit::testing::ScopedToolTimeout fast(pelsupport::shortTimeOutFor("codesign", 0.2));
    VerifyResult r = verify();
    EXPECT_EQ(r.steps, (Steps{sizeNone, hashNone, extracted}));
    EXPECT_TRUE(r.aborted);
    EXPECT_EQ(r.abortCode, ErrorCode::SEC_SIGNATURE_INVALID);
    ASSERT_TRUE(r.abortMessage);
    EXPECT_EQ(r.abortMessage->rfind("codesign --verify error: ", 0), 0u) << *r.abortMessage;
    EXPECT_NE(r.abortMessage->find("timeout after 300s"), std::string::npos) << *r.abortMessage;
}

TEST_F(VerifierTest, TeamIDRules) {
    struct Case {
        const char* name;
        std::optional<std::string> installedTeam;
        std::optional<std::string> overrideTeam;
        std::optional<std::string> downloadedTeam; // nullopt: ad hoc ("not set")
        VerifyStep step;
    };
    const std::vector<Case> cases = {
        {"installed copy unsigned",
         std::nullopt,
         std::nullopt,
         "OTHER00001",
         {"teamID", true, "installed app unsigned; no comparison"}},
        {"installed and downloaded agree", "ABCDE12345", std::nullopt, "ABCDE12345", teamMatch},
        {"the override decides over the installed one",
         "ABCDE12345",
         "TEAM000002",
         "ABCDE12345",
         {"teamID", false, "installed=TEAM000002 downloaded=ABCDE12345"}},
        {"the override's Team ID is carried",
         "ABCDE12345",
         "TEAM000002",
         "TEAM000002",
         {"teamID", true, "match TEAM000002"}},
        {"an override applies to an unsigned installed copy",
         std::nullopt,
         "TEAM000002",
         "OTHER00001",
         {"teamID", false, "installed=TEAM000002 downloaded=OTHER00001"}},
        {"ad hoc against an expected one",
         "ABCDE12345",
         std::nullopt,
         std::nullopt,
         {"teamID", false, "installed=ABCDE12345 downloaded=none"}},
        {"case matters",
         "ABCDE12345",
         std::nullopt,
         "abcde12345",
         {"teamID", false, "installed=ABCDE12345 downloaded=abcde12345"}},
        {"an empty override accepts an ad hoc bundle",
         "ABCDE12345",
         "",
         std::nullopt,
         {"teamID", true, "match "}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bundle = build(BundleBuilder("T" + std::to_string(++n) + ".app")
                           .bundleID("com.example.app")
                           .shortVersion("2.0")
                           .buildVersion("300"));
        fakes.teamID(bundle.string(), c.downloadedTeam);
        installed.teamID = c.installedTeam;
        overrides.reset();
        if (c.overrideTeam) overrides = teamOverride(c.overrideTeam);
        VerifyResult r = verify();
        if (c.step.passed) {
            expectPassed(r, {sizeNone, hashNone, extracted, signatureValid, c.step, gatekeeperAccepted,
                             bundleMatch, versionOK});
        } else {
            expectAborted(r, {sizeNone, hashNone, extracted, signatureValid, c.step},
                          ErrorCode::SEC_TEAMID_MISMATCH, "team ID mismatch");
        }
    }
}

TEST_F(VerifierTest, TeamIDReadFailureComparesAsNone) {
    fakes.codesignDisplay(bundle.string(), slowReply(5));
    pelkit::testing::ScopedToolTimeout fastDisplay(
        [](const std::string&, double seconds) { return seconds == 15 ? 0.2 : seconds; });
    expectAborted(verify(),
                  {sizeNone,
                   hashNone,
                   extracted,
                   signatureValid,
                   {"teamID", false, "installed=ABCDE12345 downloaded=none"}},
                  ErrorCode::SEC_TEAMID_MISMATCH, "team ID mismatch");
}

TEST_F(VerifierTest, GatekeeperIsRecordedOnly) {
    pelsupport::installFakeSpctl(tools, /*accepted=*/false);
    expectPassed(verify(), {sizeNone,
                            hashNone,
                            extracted,
                            signatureValid,
                            teamMatch,
                            {"gatekeeper", false, "not notarized"},
                            bundleMatch,
                            versionOK});

    tools.remove("spctl");
    expectPassed(verify(),
                 {sizeNone, hashNone, extracted, signatureValid, teamMatch, bundleMatch, versionOK});

    pelsupport::installFakeSpctl(tools, true, /*delaySeconds=*/5);
    pelkit::testing::ScopedToolTimeout fastSpctl(
        [](const std::string&, double seconds) { return seconds == 60 ? 0.2 : seconds; });
    expectPassed(verify(),
                 {sizeNone, hashNone, extracted, signatureValid, teamMatch, bundleMatch, versionOK});
}

TEST_F(VerifierTest, BundleIdentifierRule) {
    bundle = build(
        BundleBuilder("Other.app").bundleID("com.example.other").shortVersion("2.0").buildVersion("300"));
    const Steps head = {sizeNone, hashNone, extracted, signatureValid, teamMatch, gatekeeperAccepted};
    auto plus = [&](Steps tail) {
        Steps s = head;
        s.insert(s.end(), tail.begin(), tail.end());
        return s;
    };
    const VerifyStep changed{"bundleID", false, "installed=com.example.app downloaded=com.example.other"};

    expectAborted(verify(), plus({changed}), ErrorCode::SEC_BUNDLEID_CHANGED, "bundle ID changed");

    overrides = previousIDs({"com.example.app"});
    expectPassed(verify(), plus({{"bundleID", true, "match com.example.other"}, versionOK}));

    // The list must name the installed identifier, not the downloaded one.
    overrides = previousIDs({"com.example.other", "COM.EXAMPLE.APP"});
    expectAborted(verify(), plus({changed}), ErrorCode::SEC_BUNDLEID_CHANGED, "bundle ID changed");
}

TEST_F(VerifierTest, UnreadableDownloadedBundleIsRefused) {
    using pelsupport::bytesText;
    PlistValue::Array array;
    array.emplace_back(std::string("not a dictionary"));
    const std::vector<std::pair<const char*, BundleBuilder>> shapes = {
        {"no Info.plist", BundleBuilder("A.app").withoutInfoPlist()},
        {"not a dictionary",
         BundleBuilder("B.app").rawInfoPlist(platform::PlistValue(PlistValue::Storage{array}).toXml())},
        {"no CFBundleIdentifier", BundleBuilder("C.app").remove("CFBundleIdentifier")},
        {"not a property list", BundleBuilder("D.app").rawInfoPlist("this is not a plist")},
        // The property-list library would abort the process on these.
        {"a NUL in a text",
         BundleBuilder("E.app").rawInfoPlist(pelsupport::binaryTextDictionary(
             {{bytesText("CFBundleIdentifier"), bytesText("com.example.app")},
              {bytesText("NSHumanReadableCopyright"), pelsupport::utf16Text({u"a\0b", 3})}}))},
        {"a NUL in a key", BundleBuilder("F.app").rawInfoPlist(pelsupport::binaryTextDictionary(
                               {{bytesText("CFBundleIdentifier"), bytesText("com.example.app")},
                                {bytesText({"NS\0Key", 6}), bytesText("x")}}))},
    };
    const Steps head = {sizeNone,
                        hashNone,
                        extracted,
                        signatureValid,
                        teamMatch,
                        gatekeeperAccepted,
                        {"bundleID", false, "installed=com.example.app downloaded=unreadable"}};
    for (const auto& [name, shape] : shapes) {
        SCOPED_TRACE(name);
        bundle = build(shape);
        // Even an override that would accept any identifier does not accept an unreadable one.
        overrides = previousIDs({"com.example.app"});
        expectAborted(verify(), head, ErrorCode::SEC_BUNDLEID_CHANGED, "bundle ID changed");
    }
}

TEST_F(VerifierTest, VersionSanity) {
    struct Case {
        const char* name;
        std::optional<std::string> shortVersion;
        std::optional<std::string> build;
        std::string advertised;
        std::optional<VerifyStep> step;
        std::string message; // empty: passes
    };
    const std::vector<Case> cases = {
        {"same version", "2.0", std::nullopt, "2.0",
         VerifyStep{"versionSanity", true, "downloaded=2.0 advertised=2.0"}, ""},
        {"newer than advertised", "2.1", "1", "2.0",
         VerifyStep{"versionSanity", true, "downloaded=2.1 (build 1) advertised=2.0"}, ""},
        {"older build", "2.0", "299", "2.0,300",
         VerifyStep{"versionSanity", false, "downloaded=2.0 (build 299) advertised=2.0,300"},
         "downloaded 2.0 (build 299) < advertised 2.0,300"},
        {"no build against a build", "2.0", std::nullopt, "2.0,300",
         VerifyStep{"versionSanity", false, "downloaded=2.0 advertised=2.0,300"},
         "downloaded 2.0 < advertised 2.0,300"},
        {"hash-like advertised build", "2.0", "299", "2.0,abcdef12345",
         VerifyStep{"versionSanity", true, "downloaded=2.0 (build 299) advertised=2.0,abcdef12345"}, ""},
        {"older short version", "1.9", "999", "2.0",
         VerifyStep{"versionSanity", false, "downloaded=1.9 (build 999) advertised=2.0"},
         "downloaded 1.9 (build 999) < advertised 2.0"},
        {"no short version", std::nullopt, "5", "2.0", std::nullopt, ""},
    };
    const Steps head = {sizeNone,  hashNone,           extracted,  signatureValid,
                        teamMatch, gatekeeperAccepted, bundleMatch};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BundleBuilder b("V" + std::to_string(++n) + ".app");
        b.bundleID("com.example.app");
        if (c.shortVersion)
            b.shortVersion(*c.shortVersion);
        else
            b.remove("CFBundleShortVersionString");
        if (c.build)
            b.buildVersion(*c.build);
        else
            b.remove("CFBundleVersion");
        bundle = build(b);
        remote.version = c.advertised;
        Steps steps = head;
        if (c.step) steps.push_back(*c.step);
        if (c.message.empty())
            expectPassed(verify(), steps);
        else
            expectAborted(verify(), steps, ErrorCode::SRC_VERSION_REGRESSION, c.message);
    }
}

} // namespace pelkit
