#include "PelApp/DetailPaneHarness.hpp"
#include "PelApp/Views/InspectorView.hpp"

#include <QLabel>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using pelapptest::DetailPaneTest;
using pelapptest::makeRow;
using pelapptest::outdatedRow;
using pelkit::AppSource;
using pelkit::ErrorCode;
using pelkit::Outcome;

constexpr const char* kSections[] = {"upToDateSection", "installableSection", "unresolvedSection",
                                     "unsupportedSection", "errorSection"};

TEST_F(DetailPaneTest, HostShowsTheFirstSelectedIdentifierAmongAllRowsElseThePlaceholder) {
    EXPECT_TRUE(showsPlaceholder());
    EXPECT_EQ(pane->findChild<QLabel*>("placeholderText")->text(), QString("Select an app to see details"));

    // Hidden by the table's filter, still shown in full.
    h.model.filter = pelapp::Filter::outdated;
    showRow(makeRow("com.tidy", "Tidy", Outcome::upToDate, "3.1"));
    ASSERT_FALSE(showsPlaceholder());
    EXPECT_EQ(text("detailName"), QString("Tidy"));
    EXPECT_EQ(pane->shownID(), "com.tidy");

    // The identifier the set yields first lost its row: the placeholder, though another has one.
    showRows({makeRow("com.zeta", "Zeta", Outcome::upToDate)}, {"com.alpha", "com.zeta"});
    EXPECT_TRUE(showsPlaceholder());
    EXPECT_EQ(pane->shownID(), std::nullopt);

    showRows(
        {makeRow("com.alpha", "Alpha", Outcome::upToDate), makeRow("com.zeta", "Zeta", Outcome::upToDate)},
        {"com.zeta", "com.alpha"});
    EXPECT_EQ(text("detailName"), QString("Alpha"));
}

TEST_F(DetailPaneTest, EachOutcomeShowsItsOwnSection) {
    struct Case {
        Outcome outcome;
        const char* section;
        const char* title; // the section's status title, nullptr for none
    };
    const Case cases[] = {
        {Outcome::upToDate, "upToDateSection", "Up to date"},
        {Outcome::outdated, "installableSection", nullptr},
        {Outcome::unresolved, "unresolvedSection", "No source found"},
        {Outcome::unsupported, "unsupportedSection", "Informational only"},
        {Outcome::error, "errorSection", "Error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.section);
        showRow(makeRow("com.case", "Case", c.outcome, "1.0", "2.0"));
        for (const char* section : kSections)
            EXPECT_EQ(has(section), std::string(section) == c.section) << section;
        if (c.title) {
            EXPECT_EQ(text("statusTitleText"), QString(c.title));
        }
        EXPECT_EQ(has("updateButton"), c.outcome == Outcome::outdated);
        EXPECT_EQ(has("versionArrow"), c.outcome == Outcome::outdated);
        EXPECT_TRUE(has("rescanButton"));
        EXPECT_TRUE(has("ignoreButton"));
        EXPECT_EQ(value("pathRow"), QString("/Applications/Case.app"));
    }
    showRow(makeRow("com.case", "Case", Outcome::upToDate, "1.0", "2.0"));
    EXPECT_EQ(value("sourceRow"), QString("Sparkle"));
    showRow(makeRow("com.case", "Case", Outcome::unsupported));
    EXPECT_EQ(text("managedExternally"), QString("Managed externally — update via the source app."));
    EXPECT_FALSE(has("allUpdatesButton"));
}

TEST_F(DetailPaneTest, HeaderShowsVersionsAndPlaceholdersForMissingOnes) {
    auto row = makeRow("com.head", "Head <b>&</b>", Outcome::outdated);
    showRow(row);
    EXPECT_EQ(text("detailName"), QString("Head <b>&</b>"));
    EXPECT_EQ(find<QLabel>("detailName")->textFormat(), Qt::PlainText);
    EXPECT_EQ(text("detailBundleID"), QString("com.head"));
    EXPECT_EQ(text("installedVersion"), QString("?"));
    EXPECT_EQ(text("remoteVersion"), QString("—"));

    showRow(makeRow("com.head", "Head", Outcome::outdated, "1.9", "2.0.1"));
    EXPECT_EQ(text("installedVersion"), QString("1.9"));
    EXPECT_EQ(text("remoteVersion"), QString("2.0.1"));
}

TEST_F(DetailPaneTest, InstallableSectionShowsEveryRowOfTheRemoteRecord) {
    auto row = outdatedRow("com.full", "https://dl.example.test/files/Full%20App-2.0.zip", 1'572'864);
    row.remote->source = AppSource::homebrew;
    row.remote->sourceToken = "full-app";
    row.remote->minSystemVersion = "12.0";
    row.remote->sha256 = std::string(64, 'a').replace(0, 16, "0123456789abcdef");
    row.remote->notes = "<h1>Fixes</h1> & more";
    row.app.teamID = "TEAM123456";
    showRow(row);

    EXPECT_EQ(value("sourceRow"), QString("Homebrew (full-app)"));
    EXPECT_EQ(value("downloadRow"), QString("Full App-2.0.zip · 1.5 MB"));
    EXPECT_EQ(text("downloadAddress"), QString("https://dl.example.test/files/Full%20App-2.0.zip"));
    EXPECT_EQ(text("teamID"), QString("TEAM123456"));
    EXPECT_EQ(value("requiresRow"), QString("12.0+"));
    EXPECT_EQ(value("shaRow"), QString("0123456789abcdef…"));
    EXPECT_EQ(text("notes"), QString("<h1>Fixes</h1> & more"));
    EXPECT_EQ(find<QLabel>("notes")->textFormat(), Qt::PlainText);
    EXPECT_FALSE(has("installerWarning"));
    EXPECT_FALSE(has("caskWarning"));

    // Without the optional parts only the source (without a token) stays.
    auto bare = outdatedRow("com.bare");
    showRow(bare);
    EXPECT_EQ(value("sourceRow"), QString("Sparkle"));
    for (const char* absent : {"downloadRow", "downloadAddress", "signedByRow", "requiresRow", "shaRow",
                               "notes", "brewFallback", "caskWarning", "installerWarning"}) {
        EXPECT_FALSE(has(absent)) << absent;
    }
    showRow(outdatedRow("com.bare", "https://dl.example.test/Bare.dmg"));
    EXPECT_EQ(value("downloadRow"), QString("Bare.dmg · size unknown"));
}

TEST_F(DetailPaneTest, WarningsFollowTheArtifactTypeAndThePackageExtension) {
    struct Case {
        std::optional<std::string> artifact;
        const char* url;
        bool cask;
        bool installer;
    };
    const Case cases[] = {
        {std::nullopt, "https://x.test/a/Setup.pkg", false, true},
        {"app", "https://x.test/a/Setup.PKG", false, true},
        {"pkg", "https://x.test/a/Setup.Pkg?x=1", false, true},
        {"suite", "https://x.test/a/App.zip", true, false},
        {"binary", "https://x.test/a/pkg", true, false},
        {"", "https://x.test/a/App.pkg.zip", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        auto row = outdatedRow("com.warn", c.url, 10);
        row.remote->artifactType = c.artifact;
        showRow(row);
        EXPECT_EQ(has("caskWarning"), c.cask);
        EXPECT_EQ(has("installerWarning"), c.installer);
        if (c.cask) {
            EXPECT_EQ(find("caskWarning")->findChild<QLabel*>("warningText")->text(),
                      QString::fromStdString("Cask artifact: " + *c.artifact +
                                             " — needs Homebrew hand-off, native path can't handle this."));
        }
    }
}

TEST_F(DetailPaneTest, ErrorSectionTitlesTheCodeAndAddsTheSafetyNoteOnlyForSafetyCodes) {
    struct Case {
        std::optional<ErrorCode> code;
        std::optional<std::string> message;
        const char* title;
        bool safety;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, "Error", false},
        {ErrorCode::SEC_TEAMID_MISMATCH, "team differs", "SEC_TEAMID_MISMATCH", true},
        {ErrorCode::SEC_SIGNATURE_INVALID, std::nullopt, "SEC_SIGNATURE_INVALID", true},
        {ErrorCode::INT_UNEXPECTED, "<b>boom</b>", "INT_UNEXPECTED", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        auto row = makeRow("com.err", "Err", Outcome::error, "1.0");
        row.errorCode = c.code;
        row.errorMessage = c.message;
        showRow(row);
        EXPECT_EQ(find("errorTitle")->findChild<QLabel*>("statusTitleText")->text(), QString(c.title));
        EXPECT_EQ(has("errorMessage"), c.message.has_value());
        if (c.message) {
            EXPECT_EQ(text("errorMessage"), QString::fromStdString(*c.message));
        }
        EXPECT_EQ(has("safetyNote"), c.safety);
    }
}

TEST_F(DetailPaneTest, MetadataShowsPathAlwaysAndTheOtherRowsWhenPresent) {
    auto row = makeRow("com.meta", "Meta", Outcome::upToDate, "1.0");
    showRow(row);
    EXPECT_EQ(text("bundleHeading"), QString("Bundle"));
    EXPECT_EQ(value("pathRow"), QString("/Applications/Meta.app"));
    for (const char* absent : {"buildRow", "archRow", "originRow", "sparkleRow"})
        EXPECT_FALSE(has(absent)) << absent;

    row.app.buildVersion = "4711";
    row.app.archs = {"x86_64", "arm64"};
    row.app.isMacAppStore = true;
    row.app.sparkleFeedURL = platform::Url::parse("https://feed.test/appcast.xml");
    showRow(row);
    EXPECT_EQ(value("buildRow"), QString("4711"));
    EXPECT_EQ(value("archRow"), QString("x86_64, arm64"));
    EXPECT_EQ(value("originRow"), QString("Mac App Store"));
    EXPECT_EQ(value("sparkleRow"), QString("yes"));
}

TEST(InspectorTexts, ValuesOfTheRowFollowTheirRules) {
    using namespace pelapp::inspector;
    EXPECT_EQ(sourceName(std::nullopt), "—");
    pelkit::RemoteVersion remote;
    const std::pair<AppSource, const char*> names[] = {{AppSource::homebrew, "Homebrew"},
                                                       {AppSource::sparkle, "Sparkle"},
                                                       {AppSource::macAppStore, "App Store"},
                                                       {AppSource::none, "—"}};
    for (const auto& [source, name] : names) {
        remote.source = source;
        EXPECT_EQ(sourceName(remote), name);
    }
    EXPECT_EQ(shaPrefix("abc"), "abc…");
    EXPECT_EQ(shaPrefix(std::string(64, 'f')), std::string(16, 'f') + "…");
    EXPECT_EQ(downloadText(*platform::Url::parse("https://x.test/a/b.zip"), 0), "b.zip · 0.0 MB");
    EXPECT_EQ(downloadText(*platform::Url::parse("https://x.test/a/b.zip"), 10'485'760), "b.zip · 10.0 MB");
    EXPECT_FALSE(isSafetyAbort(std::nullopt));
    EXPECT_FALSE(isSafetyAbort(ErrorCode::INT_UNEXPECTED));
    EXPECT_TRUE(isSafetyAbort(ErrorCode::SEC_BUNDLEID_CHANGED));
}

} // namespace
