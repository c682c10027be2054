#include "PelKit/BundleReader.hpp"

#include "PelKit/DB.hpp"
#include "PelKit/Journal.hpp"
#include "PelKit/Proc.hpp"
#include "Platform/Plist.hpp"
#include "Support/BundleBuilder.hpp"
#include "Support/FakeBundleTools.hpp"
#include "Support/FakeTools.hpp"
#include "Support/MachOBytes.hpp"
#include "Support/PelErrorAssertions.hpp"
#include "Support/PlistBytes.hpp"
#include "Support/SharedTestDB.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <system_error>

namespace pelkit {
namespace {

namespace fs = std::filesystem;
using pelsupport::BundleBuilder;
using pelsupport::expectError;
using pelsupport::FakeBundleTools;
using pelsupport::FakeReply;
using pelsupport::FakeTools;
using pelsupport::pelErrorOf;
using pelsupport::SharedTestDB;
using pelsupport::TempDir;
using platform::PlistValue;

Url urlOf(const fs::path& p) {
    return Url::fromFilePath(p.string());
}

PlistValue number(std::int64_t n) {
    return PlistValue(PlistValue::Storage{n});
}
PlistValue stringArray(std::vector<std::string> items) {
    PlistValue::Array array;
    for (auto& s : items)
        array.emplace_back(std::move(s));
    return PlistValue(PlistValue::Storage{std::move(array)});
}

class BundleReaderTest : public ::testing::Test {
protected:
    TempDir dir{"pel-reader"};
    SharedTestDB db{dir / "pel.db"};
    FakeTools tools;
    FakeBundleTools fakes{tools};

    fs::path build(const BundleBuilder& b) { return b.build(dir / "Applications"); }

    // The cache_teamid row for a path and stamp: nullopt for no row.
    std::optional<std::optional<std::string>> teamRow(const fs::path& bundle) {
        EntryStamp s = entryStamp(bundle.string());
        return DB::shared().getTeamID(bundle.string(), s.mtime, s.size);
    }
};

// ---- Info.plist shapes ----

struct PlistShape {
    const char* name;
    std::function<void(BundleBuilder&)> shape;
    // Either an error message, or a check of the record.
    const char* error;
    std::function<void(const InstalledApp&)> check;
};

TEST_F(BundleReaderTest, InfoPlistShapes) {
    const std::vector<PlistShape> shapes = {
        {"every field, XML",
         [](BundleBuilder& b) {
             b.bundleID("com.example.editor")
                 .displayName("Editor Pro")
                 .name("Editor")
                 .shortVersion("2.5.1")
                 .buildVersion("2510")
                 .minSystemVersion("13.0")
                 .feedURL("https://example.com/appcast.xml");
         },
         nullptr,
         [](const InstalledApp& a) {
             EXPECT_EQ(a.bundleID, "com.example.editor");
             EXPECT_EQ(a.name, "Editor Pro");
             EXPECT_EQ(a.shortVersion, "2.5.1");
             EXPECT_EQ(a.buildVersion, "2510");
             EXPECT_EQ(a.executable, "Editor");
             EXPECT_EQ(a.minSystemVersion, "13.0");
             ASSERT_TRUE(a.sparkleFeedURL);
             EXPECT_EQ(a.sparkleFeedURL->text(), "https://example.com/appcast.xml");
             EXPECT_FALSE(a.isMacAppStore);
             EXPECT_FALSE(a.isAppleOwned);
         }},
        {"every field, binary",
         [](BundleBuilder& b) {
             b.bundleID("com.example.editor")
                 .displayName("Editor Pro")
                 .shortVersion("2.5.1")
                 .buildVersion("2510")
                 .feedURL("https://example.com/appcast.xml")
                 .binaryPlist();
         },
         nullptr,
         [](const InstalledApp& a) {
             EXPECT_EQ(a.bundleID, "com.example.editor");
             EXPECT_EQ(a.name, "Editor Pro");
             EXPECT_EQ(a.shortVersion, "2.5.1");
             EXPECT_EQ(a.buildVersion, "2510");
             ASSERT_TRUE(a.sparkleFeedURL);
         }},
        {"only CFBundleName names it", [](BundleBuilder& b) { b.name("Short"); }, nullptr,
         [](const InstalledApp& a) { EXPECT_EQ(a.name, "Short"); }},
        {"no name keys: the file name without extension", [](BundleBuilder& b) { b.remove("CFBundleName"); },
         nullptr, [](const InstalledApp& a) { EXPECT_EQ(a.name, "Editor"); }},
        {"an empty display name is kept", [](BundleBuilder& b) { b.displayName(""); }, nullptr,
         [](const InstalledApp& a) { EXPECT_EQ(a.name, ""); }},
        {"a display name that is no text counts as missing",
         [](BundleBuilder& b) { b.set("CFBundleDisplayName", stringArray({"Editor Pro"})).name("Plain"); },
         nullptr, [](const InstalledApp& a) { EXPECT_EQ(a.name, "Plain"); }},
        {"numeric CFBundleVersion is absent", [](BundleBuilder& b) { b.set("CFBundleVersion", number(100)); },
         nullptr,
         [](const InstalledApp& a) {
             EXPECT_EQ(a.buildVersion, std::nullopt);
             EXPECT_EQ(a.shortVersion, "1.0");
         }},
        {"a date and a dictionary count as missing",
         [](BundleBuilder& b) {
             b.set("CFBundleShortVersionString", PlistValue(PlistValue::Storage{PlistValue::Date{1e9}}))
                 .set("LSMinimumSystemVersion", PlistValue(PlistValue::Storage{PlistValue::Dictionary{}}));
         },
         nullptr,
         [](const InstalledApp& a) {
             EXPECT_EQ(a.shortVersion, std::nullopt);
             EXPECT_EQ(a.minSystemVersion, std::nullopt);
         }},
        {"a feed text that is no URL is absent", [](BundleBuilder& b) { b.feedURL("not a url"); }, nullptr,
         [](const InstalledApp& a) { EXPECT_EQ(a.sparkleFeedURL, std::nullopt); }},
        {"no optional keys at all",
         [](BundleBuilder& b) {
             b.remove("CFBundleShortVersionString").remove("CFBundleVersion").remove("CFBundleExecutable");
         },
         nullptr,
         [](const InstalledApp& a) {
             EXPECT_EQ(a.shortVersion, std::nullopt);
             EXPECT_EQ(a.buildVersion, std::nullopt);
             EXPECT_EQ(a.executable, std::nullopt);
             EXPECT_TRUE(a.archs.empty());
         }},
        {"missing identifier", [](BundleBuilder& b) { b.remove("CFBundleIdentifier"); },
         "no CFBundleIdentifier", nullptr},
        {"numeric identifier", [](BundleBuilder& b) { b.set("CFBundleIdentifier", number(42)); },
         "no CFBundleIdentifier", nullptr},
        {"binary plist without identifier",
         [](BundleBuilder& b) { b.remove("CFBundleIdentifier").binaryPlist(); }, "no CFBundleIdentifier",
         nullptr},
        {"an array is not a dictionary",
         [](BundleBuilder& b) {
             b.rawInfoPlist(stringArray({"CFBundleIdentifier", "com.example.x"}).toXml());
         },
         "Info.plist not a dictionary", nullptr},
        {"a text is not a dictionary",
         [](BundleBuilder& b) { b.rawInfoPlist(PlistValue(std::string("com.example.x")).toBinary()); },
         "Info.plist not a dictionary", nullptr},
    };
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.name);
        BundleBuilder builder("Editor.app");
        shape.shape(builder);
        fs::path bundle = build(builder);
        if (shape.error) {
            try {
                BundleReader::read(urlOf(bundle));
                ADD_FAILURE() << "read succeeded";
            } catch (const PelError& e) {
                EXPECT_EQ(e.code(), ErrorCode::INT_UNEXPECTED);
                EXPECT_EQ(e.message(), shape.error);
                EXPECT_EQ(e.bundleID(), std::nullopt);
                EXPECT_EQ(e.source(), std::nullopt);
                EXPECT_FALSE(e.overrideCanFix());
            }
        } else {
            InstalledApp app = BundleReader::read(urlOf(bundle));
            EXPECT_EQ(app.path, urlOf(bundle));
            shape.check(app);
        }
    }
}

TEST_F(BundleReaderTest, MissingInfoPlistNamesThePath) {
    fs::path bundle = build(BundleBuilder("Empty.app").withoutInfoPlist());
    try {
        BundleReader::read(urlOf(bundle));
        FAIL() << "read succeeded";
    } catch (const PelError& e) {
        EXPECT_EQ(e.code(), ErrorCode::INT_UNEXPECTED);
        EXPECT_EQ(e.message(), "no Info.plist at " + (bundle / "Contents/Info.plist").string());
        EXPECT_FALSE(e.overrideCanFix());
    }
    EXPECT_EQ(fakes.toolCalls(), 0);
}

// Texts that are not UTF-8 in the file reach the record as UTF-8, so no journal event drops the app.
TEST_F(BundleReaderTest, InfoPlistTextsReachTheRecordAsUtf8) {
    using pelsupport::bytesText;
    const std::string fixtures = std::string(PEL_TEST_SOURCE_DIR) + "/Tests/Fixtures/realworld/plists/";
    struct Case {
        const char* name;
        std::string bytes;
        std::string expectedName;
    };
    const std::vector<Case> cases = {
        {"ISO-8859-1 as declared",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><plist><dict><key>CFBundleIdentifier</key>"
         "<string>com.example.cafe</string><key>CFBundleName</key><string>Caf\xE9</string></dict></plist>",
         "Caf\xC3\xA9"},
        {"8-bit bytes in a binary text",
         pelsupport::binaryTextDictionary({{bytesText("CFBundleIdentifier"), bytesText("com.example.cafe")},
                                           {bytesText("CFBundleName"), bytesText("Caf\xE9")}}),
         "Caf\xEF\xBF\xBD"},
        {"UTF-16 with a byte-order mark", pelsupport::readText(fixtures + "derived-hda-verb-fix.utf16.plist"),
         *PlistValue::parse(pelsupport::readText(fixtures + "hda-verb-fix.plist"))
              .stringForKey("CFBundleName")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstalledApp app = BundleReader::read(urlOf(build(BundleBuilder("Odd.app").rawInfoPlist(c.bytes))));
        EXPECT_EQ(app.name, c.expectedName);
        const auto line = Journal::serialize(Json{{"event", "scan.app"}, {"app", toJson(app)}});
        ASSERT_TRUE(line);
        EXPECT_NE(line->find(c.expectedName), std::string::npos) << *line;
    }
}

TEST_F(BundleReaderTest, UnparsableInfoPlistPassesThePlatformErrorThrough) {
    for (const char* bytes : {"<?xml version=\"1.0\"?><plist><dict><key>x", "bplist00\x01\x02garbage", ""}) {
        SCOPED_TRACE(bytes);
        fs::path bundle = build(BundleBuilder("Bad.app").rawInfoPlist(bytes));
        EXPECT_THROW(BundleReader::read(urlOf(bundle)), platform::PlistError);
    }
    EXPECT_EQ(fakes.toolCalls(), 0);
}

TEST_F(BundleReaderTest, UnreadableInfoPlistPassesTheReadErrorThrough) {
    // A folder where the file belongs exists but cannot be read as bytes.
    fs::path bundle = build(BundleBuilder("Odd.app").withoutInfoPlist());
    fs::create_directories(bundle / "Contents/Info.plist");
    try {
        BundleReader::read(urlOf(bundle));
        FAIL() << "read succeeded";
    } catch (const PelError&) {
        FAIL() << "a read error became a PelError";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::is_a_directory);
    }
}

// ---- Receipt and Apple-owned ----

TEST_F(BundleReaderTest, ReceiptOfAnyKindMarksAnAppStoreApp) {
    EXPECT_TRUE(BundleReader::read(urlOf(build(BundleBuilder("Store.app").receipt()))).isMacAppStore);
    EXPECT_FALSE(BundleReader::read(urlOf(build(BundleBuilder("Plain.app")))).isMacAppStore);
    fs::path folderReceipt = build(BundleBuilder("Folder.app"));
    fs::create_directories(folderReceipt / "Contents/_MASReceipt/receipt");
    EXPECT_TRUE(BundleReader::read(urlOf(folderReceipt)).isMacAppStore);
}

TEST_F(BundleReaderTest, AppleOwnedIsTheCaseSensitivePrefixWithItsDot) {
    const std::vector<std::pair<std::string, bool>> cases = {{"com.apple.Safari", true},
                                                             {"com.applesoft.tool", false},
                                                             {"Com.apple.x", false},
                                                             {"com.apple", false}};
    for (const auto& [id, owned] : cases) {
        SCOPED_TRACE(id);
        EXPECT_EQ(BundleReader::read(urlOf(build(BundleBuilder("A.app").bundleID(id)))).isAppleOwned, owned);
    }
}

// ---- Architectures ----

TEST_F(BundleReaderTest, ArchitecturesComeFromTheMainExecutablesHeader) {
    using namespace pelsupport::machO;
    using pelsupport::ByteOrder;
    using pelsupport::fatMachO;
    using pelsupport::MachOWidth;
    using pelsupport::thinMachO;
    using Names = std::vector<std::string>;
    auto withSliceCount = [](std::string bytes, std::uint32_t count) {
        for (int i = 0; i < 4; ++i)
            bytes[4 + i] = static_cast<char>((count >> (24 - 8 * i)) & 0xff);
        return bytes;
    };
    const std::string universal = fatMachO({x86_64, arm64});
    struct Case {
        const char* name;
        std::string bytes;
        Names expected;
    };
    const std::vector<Case> cases = {
        {"thin x86_64", thinMachO(x86_64), {"x86_64"}},
        {"thin x86_64 with the library flag", thinMachO(x86_64Lib), {"x86_64"}},
        {"thin x86_64h", thinMachO(x86_64h), {"x86_64h"}},
        {"thin arm64", thinMachO(arm64), {"arm64"}},
        {"thin arm64e with its ABI bit", thinMachO(arm64e), {"arm64e"}},
        {"thin 32-bit i386", thinMachO(i386, MachOWidth::bits32), {"i386"}},
        {"thin big-endian ppc", thinMachO(ppc, MachOWidth::bits32, ByteOrder::big), {"ppc"}},
        {"fat x86_64 + arm64", universal, {"x86_64", "arm64"}},
        {"fat in the file's order", fatMachO({arm64, x86_64}), {"arm64", "x86_64"}},
        {"fat with a 64-bit slice table", fatMachO({x86_64, arm64e}, true), {"x86_64", "arm64e"}},
        {"fat of three", fatMachO({i386, x86_64, arm64}), {"i386", "x86_64", "arm64"}},
        {"a slice of an unknown processor is left out", fatMachO({{0x01000099, 0}, arm64}), {"arm64"}},
        {"thin of an unknown processor", thinMachO({0x01000099, 0}), {}},
        {"thin header cut short", thinMachO(arm64).substr(0, 20), {}},
        {"load commands past the end",
         [] {
             std::string b = thinMachO(arm64);
             b[20] = '\x40'; // 64 bytes of load commands in a file that has none
             return b;
         }(),
         {}},
        {"fat slice table cut short", universal.substr(0, 30), {}},
        {"fat slice past the end of the file", universal.substr(0, universal.size() - 1), {}},
        {"fat without slices", withSliceCount(universal, 0), {}},
        {"a class file's version where the slice count stands", withSliceCount(universal, 52), {}},
        {"magic only", universal.substr(0, 4), {}},
        {"a shell script", "#!/bin/sh\nexit 0\n", {}},
        {"empty", "", {}},
    };
    // Nothing runs for the architectures; a lipo in the tool folder stays unasked.
    tools.install("lipo", FakeReply().withOut("ppc\n"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path bundle = build(BundleBuilder("Tool.app").executable("tool-bin").executableBytes(c.bytes));
        EXPECT_EQ(BundleReader::read(urlOf(bundle)).archs, c.expected);
    }
    EXPECT_EQ(tools.callCount("lipo"), 0);
}

TEST_F(BundleReaderTest, TrailingSlashNamesTheSameBundle) {
    fs::path bundle = build(BundleBuilder("Slash.app").remove("CFBundleName"));
    Url withSlash = Url::fromFilePath(bundle.string() + "/");
    InstalledApp app = BundleReader::read(withSlash);
    EXPECT_EQ(app.path, withSlash);
    EXPECT_EQ(app.name, "Slash");
    EXPECT_EQ(app.archs, (std::vector<std::string>{"x86_64", "arm64"}));
    EXPECT_EQ(BundleReader::readTeamID(urlOf(bundle)), FakeBundleTools::defaultTeamID);
    EXPECT_EQ(fakes.codesignCalls(), 1);
    EXPECT_EQ(tools.calls("codesign").at(0).args.back(), bundle.string());
}

TEST_F(BundleReaderTest, NoArchitecturesWithoutAnExecutableFile) {
    fs::path noFile = build(BundleBuilder("NoFile.app").withoutExecutableFile());
    EXPECT_TRUE(BundleReader::read(urlOf(noFile)).archs.empty());
    fs::path noKey = build(BundleBuilder("NoKey.app").remove("CFBundleExecutable"));
    InstalledApp app = BundleReader::read(urlOf(noKey));
    EXPECT_TRUE(app.archs.empty());
    EXPECT_EQ(app.teamID, FakeBundleTools::defaultTeamID);
}

// A pipe or a folder where the executable belongs is not read: a pipe would block the scan.
TEST_F(BundleReaderTest, AnExecutableThatIsNoRegularFileGivesNoArchitectures) {
    fs::path pipe = build(BundleBuilder("Pipe.app").withoutExecutableFile());
    fs::create_directories(pipe / "Contents/MacOS");
    ASSERT_EQ(::mkfifo((pipe / "Contents/MacOS/Pipe").c_str(), 0644), 0);
    fs::path folder = build(BundleBuilder("Folder.app").withoutExecutableFile());
    fs::create_directories(folder / "Contents/MacOS/Folder");
    fs::path linked = build(BundleBuilder("Linked.app").withoutExecutableFile());
    fs::create_directories(linked / "Contents/MacOS");
    fs::create_symlink(pipe / "Contents/MacOS/Pipe", linked / "Contents/MacOS/Linked");
    for (const fs::path& bundle : {pipe, folder, linked}) {
        SCOPED_TRACE(bundle.string());
        InstalledApp app = BundleReader::read(urlOf(bundle));
        EXPECT_TRUE(app.archs.empty());
        EXPECT_EQ(app.teamID, FakeBundleTools::defaultTeamID);
    }
}

// ---- Team ID ----

struct TeamCase {
    const char* name;
    FakeReply reply;
    std::optional<std::string> expected;
};

TEST_F(BundleReaderTest, TeamIdentifierLineVariants) {
    auto display = [](std::optional<std::string> team, std::optional<std::string> teamLine) {
        return FakeBundleTools::codesignDisplayReply(std::move(team), std::nullopt, std::move(teamLine));
    };
    const std::vector<TeamCase> cases = {
        {"signed by a team", FakeBundleTools::codesignDisplayReply("ABCDE12345"), "ABCDE12345"},
        {"ad hoc: not set", FakeBundleTools::codesignDisplayReply(std::nullopt), std::nullopt},
        {"not signed at all", FakeBundleTools::codesignNotSignedReply(), std::nullopt},
        {"not set, padded", display(std::nullopt, "TeamIdentifier= \tnot set "), std::nullopt},
        {"empty value is a Team ID", display("ABCDE12345", "TeamIdentifier="), ""},
        {"blanks and tabs trimmed", display("ABCDE12345", "TeamIdentifier=\t  AB CD \t"), "AB CD"},
        {"the value is the rest of the line", display("X", "TeamIdentifier=X=TeamIdentifier=Y"),
         "X=TeamIdentifier=Y"},
        {"a key inside a line does not count", display("ABCDE12345", "note: TeamIdentifier=ABCDE12345"),
         std::nullopt},
        {"nor an indented one", display("ABCDE12345", " TeamIdentifier=ABCDE12345"), std::nullopt},
        {"the last of two lines", display("TWO", "TeamIdentifier=ONE\nTeamIdentifier=TWO"), "TWO"},
        {"standard error comes after standard output",
         FakeBundleTools::codesignDisplayReply("SECOND").withOut("TeamIdentifier=FIRST\n"), "SECOND"},
        {"exit status is not looked at", FakeBundleTools::codesignDisplayReply("FAILED123").withStatus(1),
         "FAILED123"},
        {"standard output is read too", FakeReply().withOut("TeamIdentifier=OUT1234567\n"), "OUT1234567"},
        {"no output at all", FakeReply(), std::nullopt},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path bundle = build(BundleBuilder("T" + std::to_string(n++) + ".app"));
        fakes.codesignDisplay(bundle.string(), c.reply);
        EXPECT_EQ(BundleReader::readTeamID(urlOf(bundle)), c.expected);
        EXPECT_EQ(teamRow(bundle), std::optional<std::optional<std::string>>(c.expected));
    }
}

// The executable's path and the signing identifier stand in codesign's output before its own
// TeamIdentifier= line, and whoever built the bundle chose both.
TEST_F(BundleReaderTest, NamesInTheSignatureCannotForgeTheTeamID) {
    const std::string victim = "VICTIM0001";
    struct Case {
        const char* name;
        BundleBuilder bundle;
        std::optional<std::string> signedBy; // nullopt: ad hoc
        std::optional<std::string> identifier;
    };
    const std::vector<Case> cases = {
        {"executable named like the line", BundleBuilder("Forged.app").executable("TeamIdentifier=" + victim),
         "OTHER00000", std::nullopt},
        {"ad hoc, executable named like the line",
         BundleBuilder("Forged.app").executable("TeamIdentifier=" + victim), std::nullopt, std::nullopt},
        {"identifier holding the key", BundleBuilder("Forged.app"), "OTHER00000",
         "com.example.forged TeamIdentifier=" + victim},
        {"identifier holding a line feed and the line", BundleBuilder("Forged.app"), "OTHER00000",
         "com.example.forged\nTeamIdentifier=" + victim},
        {"ad hoc, identifier holding a line feed and the line", BundleBuilder("Forged.app"), std::nullopt,
         "com.example.forged\nTeamIdentifier=" + victim},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DB::shared().exec("DELETE FROM cache_teamid");
        fs::path bundle = build(c.bundle);
        fakes.codesignDisplay(bundle.string(),
                              FakeBundleTools::codesignDisplayReply(c.signedBy, c.identifier));
        EXPECT_EQ(BundleReader::readTeamID(urlOf(bundle)), c.signedBy);
        DB::shared().exec("DELETE FROM cache_teamid");
        EXPECT_EQ(BundleReader::read(urlOf(bundle)).teamID, c.signedBy);
        // The forged text was there to be read, as a Mac would show it.
        ProcResult shown = Proc::run(tools.path("codesign"), {"-dv", "--verbose=4", bundle.string()}, 15);
        EXPECT_NE(shown.stderr.find("TeamIdentifier=" + victim), std::string::npos) << shown.stderr;
    }
}

// A control character in the bundle's path or its executable's name would let the name start a
// line of its choosing, even where codesign prints no TeamIdentifier= line of its own (an unsigned
// bundle's message repeats the path). Such a bundle is refused before codesign runs.
TEST_F(BundleReaderTest, ControlCharactersInNamesAreRefused) {
    const std::string forged = "\nTeamIdentifier=VICTIM0001\n";
    fakes.defaultCodesign(FakeBundleTools::codesignNotSignedReply());
    struct Case {
        const char* name;
        BundleBuilder bundle;
        const char* readError;
    };
    const std::vector<Case> cases = {
        {"line feed in the folder name", BundleBuilder("Forged" + forged + "x.app"),
         "control character in the bundle path"},
        {"line feed in the executable name", BundleBuilder("Forged.app").executable("Forged" + forged + "x"),
         "control character in CFBundleExecutable"},
        {"carriage return", BundleBuilder("Forged\rTeamIdentifier=VICTIM0001.app"),
         "control character in the bundle path"},
        {"tab in the executable name", BundleBuilder("Forged.app").executable("Forged\tx"),
         "control character in CFBundleExecutable"},
        {"DEL", BundleBuilder("Forged\x7f.app"), "control character in the bundle path"},
        {"next line (U+0085)", BundleBuilder("Forged.app").executable("Forged\u0085x"),
         "control character in CFBundleExecutable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path bundle = build(c.bundle);
        expectError(pelErrorOf([&] { BundleReader::readTeamID(urlOf(bundle)); }),
                    ErrorCode::SEC_TEAMID_MISMATCH, std::nullopt, c.readError);
        expectError(pelErrorOf([&] { BundleReader::read(urlOf(bundle)); }), ErrorCode::INT_UNEXPECTED,
                    std::nullopt, c.readError);
        EXPECT_EQ(teamRow(bundle), std::nullopt);
    }
    EXPECT_EQ(fakes.codesignCalls(), 0);

    // What the unsigned message would have given away, had codesign run on the first bundle.
    fs::path first = dir / "Applications" / ("Forged" + forged + "x.app");
    ProcResult shown = Proc::run(tools.path("codesign"), {"-dv", "--verbose=4", first.string()}, 15);
    EXPECT_NE(shown.stderr.find("\nTeamIdentifier=VICTIM0001\n"), std::string::npos) << shown.stderr;

    // Names that merely look odd still read.
    fakes.defaultCodesign(FakeBundleTools::codesignDisplayReply("ABCDE12345"));
    fs::path fine = build(BundleBuilder("Caf\u00E9 \u2014 Pro (2).app").executable("Caf\u00E9 Pro"));
    EXPECT_EQ(BundleReader::read(urlOf(fine)).teamID, "ABCDE12345");
}

TEST_F(BundleReaderTest, CodesignIsAskedWithTheDisplayArguments) {
    fs::path bundle = build(BundleBuilder("Signed.app"));
    BundleReader::readTeamID(urlOf(bundle));
    auto calls = tools.calls("codesign");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"-dv", "--verbose=4", bundle.string()}));
}

TEST_F(BundleReaderTest, UnchangedBundleIsAnsweredFromTheCache) {
    fs::path signed_ = build(BundleBuilder("Signed.app"));
    fs::path unsigned_ = build(BundleBuilder("Unsigned.app"));
    fakes.teamID(unsigned_.string(), std::nullopt);

    EXPECT_EQ(BundleReader::readTeamID(urlOf(signed_)), FakeBundleTools::defaultTeamID);
    EXPECT_EQ(BundleReader::readTeamID(urlOf(unsigned_)), std::nullopt);
    EXPECT_EQ(fakes.codesignCalls(), 2);

    // A changed answer is not seen while the bundle keeps its stamp; a cached "none" holds too.
    fakes.defaultCodesign(FakeBundleTools::codesignDisplayReply("OTHER00000"));
    fakes.teamID(unsigned_.string(), "OTHER00000");
    EXPECT_EQ(BundleReader::readTeamID(urlOf(signed_)), FakeBundleTools::defaultTeamID);
    EXPECT_EQ(BundleReader::readTeamID(urlOf(unsigned_)), std::nullopt);
    EXPECT_EQ(BundleReader::read(urlOf(unsigned_)).teamID, std::nullopt);
    EXPECT_EQ(fakes.codesignCalls(), 2);

    // Another modification time of the bundle folder asks again and replaces the row.
    pelsupport::setModificationTime(signed_, 1'600'000'000.25);
    EXPECT_EQ(BundleReader::readTeamID(urlOf(signed_)), "OTHER00000");
    EXPECT_EQ(fakes.codesignCalls(), 3);
    EXPECT_EQ(teamRow(signed_), std::optional<std::optional<std::string>>("OTHER00000"));
    EXPECT_EQ(DB::shared().getTeamID(signed_.string(), entryStamp(signed_.string()).mtime + 1,
                                     entryStamp(signed_.string()).size),
              std::nullopt);
}

TEST_F(BundleReaderTest, EntryStampIsTheBundleFolderItself) {
    fs::path bundle = build(BundleBuilder("Stamp.app"));
    pelsupport::setModificationTime(bundle, 1'500'000'000.5);
    EntryStamp stamp = entryStamp(bundle.string());
    EXPECT_DOUBLE_EQ(stamp.mtime, 1'500'000'000.5);
    struct stat st {};
    ASSERT_EQ(::lstat(bundle.c_str(), &st), 0);
    EXPECT_EQ(stamp.size, static_cast<std::int64_t>(st.st_size));
    // Changing a file inside does not move the folder's own stamp.
    pelsupport::writeText(bundle / "Contents/Info.plist",
                          BundleBuilder("Stamp.app").shortVersion("9").infoPlistBytes());
    EXPECT_EQ(entryStamp(bundle.string()), stamp);
    EXPECT_EQ(entryStamp((dir / "missing.app").string()), (EntryStamp{0, 0}));
}

TEST_F(BundleReaderTest, UnreadableAttributesAreCachedUnderZero) {
    const std::string gone = (dir / "Gone.app").string();
    EXPECT_EQ(BundleReader::readTeamID(Url::fromFilePath(gone)), FakeBundleTools::defaultTeamID);
    EXPECT_EQ(DB::shared().getTeamID(gone, 0, 0),
              std::optional<std::optional<std::string>>(FakeBundleTools::defaultTeamID));
}

TEST_F(BundleReaderTest, MissingCodesignGivesNoTeamIDAndCachesNothing) {
    fs::path bundle = build(BundleBuilder("Signed.app"));
    fakes.removeCodesign();
    EXPECT_EQ(BundleReader::readTeamID(urlOf(bundle)), std::nullopt);
    EXPECT_EQ(teamRow(bundle), std::nullopt);

    fakes.defaultCodesign(FakeBundleTools::codesignDisplayReply("LATER00000"));
    EXPECT_EQ(BundleReader::readTeamID(urlOf(bundle)), "LATER00000");
}

TEST_F(BundleReaderTest, CodesignTimeOutThrowsForTheTeamIDAndIsDiscardedByRead) {
    fs::path bundle = build(BundleBuilder("Hangs.app"));
    pelkit::testing::ScopedToolTimeout fast(pelsupport::shortTimeOutFor("codesign", 0.2));
    fakes.codesignDisplay(bundle.string(), FakeReply().withErr("TeamIdentifier=LATE\n").withDelay(5));
    try {
        BundleReader::readTeamID(urlOf(bundle));
        FAIL() << "no time-out";
    } catch (const PelError& e) {
        EXPECT_EQ(e.code(), ErrorCode::INT_UNEXPECTED);
        EXPECT_EQ(e.message(), tools.path("codesign") + " timeout after 15s");
    }
    EXPECT_EQ(teamRow(bundle), std::nullopt);

    InstalledApp app = BundleReader::read(urlOf(bundle));
    EXPECT_EQ(app.teamID, std::nullopt);
    EXPECT_EQ(app.bundleID, "com.example.hangs");
    EXPECT_EQ(teamRow(bundle), std::nullopt);
}

TEST_F(BundleReaderTest, CodesignThatCannotLaunchThrowsTheRunnersError) {
    fs::path bundle = build(BundleBuilder("Signed.app"));
    // Executable but not runnable: the launch itself fails.
    tools.installScript("codesign", "");
    pelsupport::writeText(tools.path("codesign"), "\x7f"
                                                  "ELF garbage");
    fs::permissions(tools.path("codesign"), fs::perms::owner_all);
    EXPECT_ANY_THROW(BundleReader::readTeamID(urlOf(bundle)));
    EXPECT_EQ(teamRow(bundle), std::nullopt);
    EXPECT_EQ(BundleReader::read(urlOf(bundle)).teamID, std::nullopt);
}

} // namespace
} // namespace pelkit
