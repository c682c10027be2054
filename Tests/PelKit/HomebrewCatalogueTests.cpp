#include "PelKit/UpdateSources/HomebrewCatalogue.hpp"
#include "Support/CatalogueBuilder.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace pelkit;

namespace {

HomebrewCatalogue decode(std::string json, std::string_view variationKey = "") {
    return HomebrewCatalogue::decode(json, variationKey);
}

InstalledApp appAt(const std::string& path, const std::string& bundleID) {
    InstalledApp app;
    app.path = Url::fromFilePath(path);
    app.bundleID = bundleID;
    app.name = "App";
    return app;
}

// ---- Reading one cask into a release ----

struct ReleaseCase {
    const char* name;
    const char* cask; // one cask object with token "t"
    const char* variationKey;
    std::optional<std::string> version; // nullopt: "has no version" is thrown
    std::optional<std::string> url;
    std::optional<std::string> sha256;
    std::optional<std::string> minMacOS;
    std::optional<std::string> notes;
    std::string artifactType;
};

class ReleaseShapes : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(ReleaseShapes, ReadsTheCaskAsResolutionNeedsIt) {
    const ReleaseCase& c = GetParam();
    HomebrewCatalogue catalogue = decode(std::string("[") + c.cask + "]", c.variationKey);
    if (!c.version) {
        try {
            catalogue.release("t");
            FAIL() << "expected an error";
        } catch (const PelError& e) {
            EXPECT_EQ(e.code(), ErrorCode::SRC_FEED_MALFORMED);
            EXPECT_EQ(e.message(), "cask t has no version");
            EXPECT_EQ(e.source(), AppSource::homebrew);
            EXPECT_FALSE(e.bundleID().has_value());
            EXPECT_FALSE(e.overrideCanFix());
        }
        return;
    }
    std::optional<RemoteVersion> r = catalogue.release("t");
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->source, AppSource::homebrew);
    EXPECT_EQ(r->sourceToken, "t");
    EXPECT_EQ(r->version, *c.version);
    EXPECT_EQ(r->downloadURL ? std::optional(r->downloadURL->text()) : std::nullopt, c.url);
    EXPECT_EQ(r->sha256, c.sha256);
    EXPECT_EQ(r->minSystemVersion, c.minMacOS);
    EXPECT_EQ(r->notes, c.notes);
    EXPECT_EQ(r->artifactType, c.artifactType);
    EXPECT_FALSE(r->buildVersion || r->sizeBytes || r->publishedAt);
}

const char* const kU = "https://example.com/a.dmg";
const char* const kSequoia = "https://example.com/arm-sequoia.dmg";

INSTANTIATE_TEST_SUITE_P(
    Casks, ReleaseShapes,
    ::testing::Values(
        ReleaseCase{"Plain",
                    R"({"token":"t","version":"1.2,345","url":"https://example.com/a.dmg","sha256":"abc",
                        "desc":"Editor","depends_on":{"macos":{">=":["12","13"]}},"artifacts":[{"app":["A.app"]}]})",
                    "", "1.2,345", kU, "abc", "12", "Editor", "app"},
        ReleaseCase{"NoCheckMeansNoChecksum",
                    R"({"token":"t","version":"latest","url":"https://example.com/a.dmg",
                        "sha256":"no_check"})",
                    "", "latest", kU, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"EmptyChecksumMeansNoChecksum",
                    R"({"token":"t","version":"1","url":"https://example.com/a.dmg","sha256":""})", "", "1",
                    kU, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"EmptyVariationChecksumIsNoneNotTheCasksOwn",
                    R"({"token":"t","version":"1","url":"https://example.com/a.dmg","sha256":"own",
                        "variations":{"arm64_sequoia":{"url":"https://example.com/arm-sequoia.dmg","sha256":""}}})",
                    "arm64_sequoia", "1", kSequoia, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"VariationReplacesStringsOnly",
                    R"({"token":"t","version":"1","url":"https://example.com/a.dmg","sha256":"own",
                        "variations":{"arm64_sequoia":{"version":"2","url":7,"sha256":"var"}}})",
                    "arm64_sequoia", "2", kU, "var", std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"VariationGivesTheOnlyVersion",
                    R"({"token":"t","url":"https://example.com/a.dmg",
                        "variations":{"arm64_sequoia":{"version":"3","url":"https://example.com/arm-sequoia.dmg"}}})",
                    "arm64_sequoia", "3", kSequoia, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"AppleSiliconTakesTheArmEntry",
                    R"({"token":"t","version":"1","url":"https://example.com/a.dmg",
                        "variations":{"sequoia":{"version":"intel","url":"https://example.com/intel.dmg"},
                                      "arm64_sequoia":{"version":"arm","url":"https://example.com/arm-sequoia.dmg"}}})",
                    "arm64_sequoia", "arm", kSequoia, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"IntelTakesTheBareEntry",
                    R"({"token":"t","version":"1","url":"https://example.com/a.dmg",
                        "variations":{"sequoia":{"version":"intel"},"arm64_sequoia":{"version":"arm"}}})",
                    "sequoia", "intel", kU, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"AppleSiliconNeverFallsBackToIntel",
                    R"({"token":"t","version":"1","variations":{"sequoia":{"version":"intel"}}})",
                    "arm64_sequoia", "1", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"NoReleaseNameUsesOwnValues",
                    R"({"token":"t","version":"1","variations":{"arm64_sequoia":{"version":"2"}}})", "", "1",
                    std::nullopt, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{
            "OneNonObjectVariationVoidsAll",
            R"({"token":"t","version":"1","variations":{"arm64_sequoia":{"version":"2"},"sonoma":"x"}})",
            "arm64_sequoia", "1", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"NoVersionAnywhere", R"({"token":"t","url":"https://example.com/a.dmg"})", "",
                    std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"VersionOfAnotherTypeIsAbsent", R"({"token":"t","version":12})", "", std::nullopt,
                    std::nullopt, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"VariationWithoutVersionKeepsError",
                    R"({"token":"t","variations":{"arm64_sequoia":{"url":"https://example.com/a.dmg"}}})",
                    "arm64_sequoia", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                    "unknown"},
        ReleaseCase{"RepeatedKeyCountsAsItsLastValue", R"({"token":"t","version":"1","version":"2"})", "",
                    "2", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"UnparsableUrlIsNone", R"({"token":"t","version":"1","url":"not a url","desc":7})", "",
                    "1", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"OnlyGreaterOrEqualIsRead",
                    R"({"token":"t","version":"1","depends_on":{"macos":{"==":["13"]}}})", "", "1",
                    std::nullopt, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"MinimumNeedsAnArrayOfStrings",
                    R"({"token":"t","version":"1","depends_on":{"macos":{">=":["13",14]}}})", "", "1",
                    std::nullopt, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"EmptyMinimumList", R"({"token":"t","version":"1","depends_on":{"macos":{">=":[]}}})", "",
                    "1", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"FirstArtifactWithAKnownKeyDecides",
                    R"({"token":"t","version":"1","artifacts":[{"zap":[{"trash":["~/x"]}]},{"pkg":["A.pkg"]},
                        {"app":["A.app"]}]})",
                    "", "1", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "pkg"},
        ReleaseCase{"KeyOrderInsideAnArtifact",
                    R"({"token":"t","version":"1","artifacts":[{"binary":null,"suite":1}]})", "", "1",
                    std::nullopt, std::nullopt, std::nullopt, std::nullopt, "suite"},
        ReleaseCase{"InstallerOnly",
                    R"({"token":"t","version":"1","artifacts":[{},{"installer":[{"manual":"x"}]}]})", "", "1",
                    std::nullopt, std::nullopt, std::nullopt, std::nullopt, "installer"},
        ReleaseCase{"ArtifactsWithANonObjectAreAbsent",
                    R"({"token":"t","version":"1","artifacts":[{"app":["A.app"]},"pkg"]})", "", "1",
                    std::nullopt, std::nullopt, std::nullopt, std::nullopt, "unknown"},
        ReleaseCase{"TokenAfterTheOtherKeys", R"({"version":"1","artifacts":[{"binary":["b"]}],"token":"t"})",
                    "", "1", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "binary"}),
    [](const ::testing::TestParamInfo<ReleaseCase>& info) { return std::string(info.param.name); });

TEST(HomebrewCatalogue, UnknownTokenHasNoRelease) {
    HomebrewCatalogue catalogue = decode(R"([{"token":"t","version":"1"}])");
    EXPECT_FALSE(catalogue.release("other").has_value());
}

TEST(HomebrewCatalogue, LaterCaskWithTheSameTokenReplacesTheRecordButNotTheClaims) {
    HomebrewCatalogue catalogue = decode(R"([
        {"token":"t","version":"1","artifacts":[{"app":["One.app"]}]},
        {"token":"u","version":"9","artifacts":[{"app":["Two.app"]}]},
        {"token":"t","version":"2","artifacts":[{"app":["Two.app","Three.app"]}]}])");
    EXPECT_EQ(catalogue.casks.size(), 2u);
    EXPECT_EQ(catalogue.release("t")->version, "2");
    EXPECT_EQ(catalogue.tokenMap.at("One.app"), "t");
    EXPECT_EQ(catalogue.tokenMap.at("Two.app"), "u");
    EXPECT_EQ(catalogue.tokenMap.at("Three.app"), "t");
}

// ---- The two token maps ----

TEST(HomebrewCatalogue, AppArtifactsFillTheFileNameMapFirstClaimWins) {
    HomebrewCatalogue catalogue = decode(R"([
        {"token":"first","artifacts":[{"app":["Shared.app"]}]},
        {"token":"second","artifacts":[{"app":["Shared.app",{"target":"Renamed.app"},"Sub/Dir/Nested.app",
            {"source":"Contents/Inner.app","target":"X.app"},{"source":7},42,"Trailing.app/"]}]},
        {"token":"third","artifacts":[{"app":"NotAnArray.app"}]},
        {"token":7,"artifacts":[{"app":["Tokenless.app"]}]},
        {},
        {"tok\u0065n":"escaped","artifacts":[{"app":["Escaped.app"]}]}])");
    std::map<std::string, std::string, std::less<>> expected{{"Shared.app", "first"},
                                                             {"Nested.app", "second"},
                                                             {"Inner.app", "second"},
                                                             {"Trailing.app", "second"},
                                                             {"Escaped.app", "escaped"}};
    EXPECT_EQ(catalogue.tokenMap, expected);
    EXPECT_EQ(catalogue.casks.size(), 4u); // first, second, third, escaped
}

TEST(HomebrewCatalogue, UninstallAndZapDirectivesFillTheIdentifierMap) {
    HomebrewCatalogue catalogue = decode(R"([
        {"token":"a","artifacts":[
            {"uninstall":[{"quit":"com.a.app","pkgutil":["com.a.pkg","com.a.*"],"launchctl":"com.a.agent"},
                          {"quit":["com.a.helper","com.a.*.x"]}]},
            {"zap":[{"pkgutil":"com.a.zap","quit":"com.a.zapquit","trash":["~/Library/com.a.app"]}]}]},
        {"token":"b","artifacts":[
            {"uninstall":[{"quit":"com.a.app"},{"pkgutil":"com.b.pkg"}]},
            {"uninstall":[{"pkgutil":["com.b.mixed",3]}]},
            {"uninstall":[{"quit":"com.b.voided"},"not a directive"],"app":["B.app"]},
            {"zap":{"pkgutil":"com.b.notarray"}}]}])");
    std::unordered_map<std::string, std::string> expected{{"com.a.app", "a"},
                                                          {"com.a.pkg", "a"},
                                                          {"com.a.helper", "a"},
                                                          {"com.a.zap", "a"},
                                                          {"com.b.pkg", "b"}};
    EXPECT_EQ(catalogue.bundleIDMap.size(), expected.size());
    for (const auto& [id, token] : expected) {
        ASSERT_TRUE(catalogue.bundleIDMap.count(id)) << id;
        EXPECT_EQ(catalogue.bundleIDMap.at(id), token) << id;
    }
    // A voided uninstall does not void the artifact's other keys.
    EXPECT_EQ(catalogue.tokenMap.at("B.app"), "b");
}

TEST(HomebrewCatalogue, ArtifactsThatAreNotAllObjectsEnterNothing) {
    HomebrewCatalogue catalogue =
        decode(R"([{"token":"t","artifacts":[{"app":["A.app"]},{"uninstall":[{"quit":"com.t"}]},null]}])");
    EXPECT_TRUE(catalogue.tokenMap.empty());
    EXPECT_TRUE(catalogue.bundleIDMap.empty());
    EXPECT_EQ(catalogue.casks.size(), 1u);
}

TEST(HomebrewCatalogue, TokenMapIsWrittenWithSortedKeysAndNoBlanks) {
    HomebrewCatalogue catalogue = decode(R"([
        {"token":"z","artifacts":[{"app":["b.app","Caf\u00e9.app"]}]},
        {"token":"y","artifacts":[{"app":["a \"q\".app","Z.app"]}]}])");
    EXPECT_EQ(catalogue.encodeTokenMap(),
              "{\"Caf\u00e9.app\":\"z\",\"Z.app\":\"y\",\"a \\\"q\\\".app\":\"y\",\"b.app\":\"z\"}");
    EXPECT_EQ(decode("[]").encodeTokenMap(), "{}");
}

// ---- Token of an application ----

TEST(HomebrewCatalogue, TokenOrderOverrideThenFileNameThenBundleID) {
    HomebrewCatalogue catalogue = decode(R"([
        {"token":"by-name","artifacts":[{"app":["Editor.app","My App.app"]}]},
        {"token":"by-id","artifacts":[{"uninstall":[{"quit":"com.example.editor"}]}]}])");
    OverrideEntry withToken;
    withToken.caskToken = "no-such-cask";
    OverrideEntry withoutToken;
    withoutToken.note = "n";

    struct Case {
        const char* path;
        const char* bundleID;
        std::optional<OverrideEntry> override;
        std::optional<std::string> token;
    } cases[] = {
        {"/Applications/Editor.app", "com.example.editor", withToken, "no-such-cask"},
        {"/Applications/Editor.app", "com.example.editor", withoutToken, "by-name"},
        {"/Applications/Editor.app", "com.example.editor", std::nullopt, "by-name"},
        {"/Applications/Renamed.app", "com.example.editor", std::nullopt, "by-id"},
        {"/Applications/My App.app", "com.other", std::nullopt, "by-name"},
        {"/Applications/editor.app", "com.other", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(caskToken(&catalogue, appAt(c.path, c.bundleID), c.override), c.token) << c.path;
    }
    // An override whose token names no cask gives no release, although the file name would find one.
    EXPECT_FALSE(
        catalogue.release(*caskToken(&catalogue, appAt("/Applications/Editor.app", "x"), withToken)));
    EXPECT_EQ(caskToken(nullptr, appAt("/Applications/Editor.app", "x"), withToken), "no-such-cask");
    EXPECT_EQ(caskToken(nullptr, appAt("/Applications/Editor.app", "x"), std::nullopt), std::nullopt);
}

TEST(HomebrewCatalogue, ReleaseNamesAndVariationKeys) {
    struct Case {
        int major;
        CpuArchitecture arch;
        std::string key;
    } cases[] = {
        {12, CpuArchitecture::arm64, "arm64_monterey"},
        {13, CpuArchitecture::arm64, "arm64_ventura"},
        {14, CpuArchitecture::arm64, "arm64_sonoma"},
        {15, CpuArchitecture::arm64, "arm64_sequoia"},
        {15, CpuArchitecture::x86_64, "sequoia"},
        {12, CpuArchitecture::x86_64, "monterey"},
        {11, CpuArchitecture::arm64, ""},
        {16, CpuArchitecture::arm64, ""},
        {26, CpuArchitecture::x86_64, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(variationKey(c.major, c.arch), c.key) << c.major;
}

// ---- Documents that are no catalogue ----

TEST(HomebrewCatalogue, NotJsonThrowsTheDecodersError) {
    for (const char* text :
         {"", "  ", "<html>Not Found</html>", "[{\"token\":\"a\"}", "[{\"token\":\"a\"},]",
          "[{\"token\":\"a\" \"version\":\"1\"}]", "[{\"token\":\"a\"}] [2]", "[{\"token\":\"a\"}]]",
          "[{\"token\":\"a\",\"desc\":\"open}]", "[{\"token\":\"\xff\"}]",
          // Broken text that looks like the wrong shape before the break is still not JSON.
          "{", "{\"token\":", "nul", "tru", "[1,", "[{\"token\":\"a\"}, tru]", "[{\"token\":\"a\"},[1,}]"}) {
        try {
            decode(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const PelError& e) {
            ADD_FAILURE() << "PelError for non-JSON: " << text;
        } catch (const std::exception& e) {
            EXPECT_STRNE(e.what(), "");
        }
    }
}

// Nesting far deeper than any catalogue: values that are passed over are skipped without recursion.
TEST(HomebrewCatalogue, DeepNestingNeitherCrashesNorCounts) {
    const std::string deep(100000, '[');
    const std::string close(100000, ']');
    EXPECT_THROW(decode(deep + close), PelError);
    for (const std::string& text : {"[{\"token\":\"a\",\"x\":" + deep + close + "}]",
                                    "[{\"token\":\"a\",\"artifacts\":[{\"app\":" + deep + close + "}]}]"}) {
        HomebrewCatalogue catalogue = decode(text);
        EXPECT_EQ(catalogue.casks.size(), 1u);
        EXPECT_TRUE(catalogue.tokenMap.empty());
    }
}

TEST(HomebrewCatalogue, JsonThatIsNotAnArrayOfObjectsIsMalformed) {
    for (const char* text :
         {"{}", "{\"token\":\"a\"}", "\"casks\"", "[1]", "[{\"token\":\"a\"},[]]", "null"}) {
        try {
            decode(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const PelError& e) {
            EXPECT_EQ(e.code(), ErrorCode::SRC_FEED_MALFORMED) << text;
            EXPECT_EQ(e.message(), "cask.json not an array");
            EXPECT_EQ(e.source(), AppSource::homebrew);
            EXPECT_FALSE(e.bundleID().has_value());
        }
    }
    EXPECT_TRUE(decode("[]").casks.empty());
    EXPECT_TRUE(decode(" [ {} ] \n").casks.empty());
}

TEST(HomebrewCatalogue, DecodeKeepsTheBytesAsGiven) {
    std::string bytes = R"([{"token":"t","version":"1"}])";
    const std::string copy = bytes;
    HomebrewCatalogue::decode(bytes, "");
    EXPECT_EQ(bytes, copy);
}

// ---- A catalogue of the real size and shapes ----

TEST(HomebrewCatalogue, GeneratedCatalogueIndexesEveryCask) {
    const pelsupport::GeneratedCatalogue generated = pelsupport::buildCatalogue(2500, 7);
    for (const std::string key : {"arm64_sonoma", "sonoma"}) {
        std::string bytes = generated.json;
        HomebrewCatalogue catalogue = HomebrewCatalogue::decode(bytes, key);
        ASSERT_EQ(catalogue.casks.size(), generated.casks.size());
        std::size_t apps = 0, ids = 0, varied = 0;
        for (const pelsupport::GeneratedCask& cask : generated.casks) {
            const std::string& owner = cask.sharesWith ? generated.casks[*cask.sharesWith].token : cask.token;
            if (cask.appName) {
                ++apps;
                EXPECT_EQ(catalogue.tokenFor(*cask.appName, ""), owner) << cask.token;
            }
            if (cask.bundleID) {
                ++ids;
                EXPECT_EQ(catalogue.tokenFor("", *cask.bundleID), owner) << cask.token;
            }
            pelsupport::GeneratedRelease expected = cask.release;
            if (auto v = cask.variations.find(key); v != cask.variations.end()) {
                ++varied;
                if (v->second.version) expected.version = v->second.version;
                expected.url = v->second.url;
                expected.sha256 = v->second.sha256;
            }
            std::optional<RemoteVersion> r = catalogue.release(cask.token);
            ASSERT_TRUE(r.has_value()) << cask.token;
            EXPECT_EQ(r->version, expected.version);
            ASSERT_TRUE(r->downloadURL.has_value()) << expected.url;
            EXPECT_EQ(r->downloadURL->text(), expected.url);
            EXPECT_EQ(r->sha256,
                      expected.sha256 == "no_check" ? std::nullopt : std::optional(expected.sha256));
            EXPECT_EQ(r->minSystemVersion, cask.minMacOS);
            EXPECT_EQ(r->notes, cask.desc);
            EXPECT_EQ(r->artifactType, cask.artifactType);
        }
        // The generator covers what the maps are built from.
        EXPECT_GT(apps, 1500u);
        EXPECT_GT(ids, 1300u);
        // Intel builds sit under every bare release name; "arm64_" names only carry older versions.
        EXPECT_GT(varied, key == "sonoma" ? 1000u : 5u) << key;
        for (const auto& [id, token] : catalogue.bundleIDMap)
            EXPECT_EQ(id.find('*'), std::string::npos);
    }
}

} // namespace
