#include "Platform/Base64.hpp"
#include "Platform/Defaults.hpp"
#include "Platform/Json.hpp"
#include "Support/TempDir.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <thread>

using namespace platform;
using pelsupport::readText;
using pelsupport::TempDir;
using pelsupport::writeText;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

// A fresh store over a copy of `file`: the registry keeps one store per path for the whole process, so
// reading "from disk again" needs another path.
Defaults reopened(const fs::path& file) {
    static int copies = 0;
    fs::path copy = fs::path(file) += ".copy" + std::to_string(++copies);
    fs::copy_file(file, copy);
    return Defaults::file(copy);
}

} // namespace

TEST(Base64, EncodesAndStrictlyDecodes) {
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}, {std::string("\xff\xfe\x00", 3), "//4A"}};
    for (const auto& [plain, encoded] : vectors) {
        Bytes bytes(plain.begin(), plain.end());
        EXPECT_EQ(base64Encode(bytes), encoded);
        EXPECT_EQ(base64Decode(encoded), bytes) << encoded;
    }
    for (std::string bad : {"Zg=", "Zg", "Z===", "Zm9v\n", "Zm 9", "Zg==Zg==", "=Zg=", "Zm-v", "Zm_v"}) {
        EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
    }
}

TEST(Defaults, AValueReadsOnlyAsTheTypeItWasStoredWith) {
    TempDir dir;
    writeText(dir / "prefs.json", R"({
        "string": "text", "falseText": "false", "numberText": "42",
        "int": 42, "negative": -7, "max": 9223372036854775807, "tooBig": 9223372036854775808,
        "double": 1.5, "wholeDouble": 2.0,
        "true": true, "false": false,
        "bytes": {"$bytes": "AAEC"}, "emptyBytes": {"$bytes": ""}, "badBase64": {"$bytes": "A!=="},
        "bytesAndMore": {"$bytes": "AAEC", "x": 1}, "bytesNumber": {"$bytes": 3}, "object": {},
        "list": ["a", "b"], "emptyList": [], "mixedList": ["a", 1], "null": null
    })");
    Defaults d = Defaults::file(dir / "prefs.json");

    struct Case {
        std::string key;
        std::optional<std::string> string;
        std::optional<std::int64_t> integer;
        std::optional<bool> boolean;
        std::optional<Bytes> bytes;
        std::optional<Strings> list;
    };
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    const std::vector<Case> cases = {
        {"string", "text", {}, {}, {}, {}},
        {"falseText", "false", {}, {}, {}, {}},
        {"numberText", "42", {}, {}, {}, {}},
        {"int", {}, 42, {}, {}, {}},
        {"negative", {}, -7, {}, {}, {}},
        {"max", {}, max, {}, {}, {}},
        {"tooBig", {}, {}, {}, {}, {}},
        {"double", {}, {}, {}, {}, {}},
        {"wholeDouble", {}, {}, {}, {}, {}},
        {"true", {}, {}, true, {}, {}},
        {"false", {}, {}, false, {}, {}},
        {"bytes", {}, {}, {}, Bytes{0, 1, 2}, {}},
        {"emptyBytes", {}, {}, {}, Bytes{}, {}},
        {"badBase64", {}, {}, {}, {}, {}},
        {"bytesAndMore", {}, {}, {}, {}, {}},
        {"bytesNumber", {}, {}, {}, {}, {}},
        {"object", {}, {}, {}, {}, {}},
        {"list", {}, {}, {}, {}, Strings{"a", "b"}},
        {"emptyList", {}, {}, {}, {}, Strings{}},
        {"mixedList", {}, {}, {}, {}, {}},
        {"null", {}, {}, {}, {}, {}},
        {"missing", {}, {}, {}, {}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(d.string(c.key), c.string) << c.key;
        EXPECT_EQ(d.integer(c.key), c.integer) << c.key;
        EXPECT_EQ(d.boolean(c.key), c.boolean) << c.key;
        EXPECT_EQ(d.bytes(c.key), c.bytes) << c.key;
        EXPECT_EQ(d.stringList(c.key), c.list) << c.key;
        EXPECT_EQ(d.contains(c.key), c.key != "missing") << c.key;
    }
}

TEST(Defaults, EveryTypeRoundTripsThroughTheFileInItsJsonForm) {
    TempDir dir;
    const fs::path file = dir / "prefs.json";
    Defaults d = Defaults::file(file);
    EXPECT_EQ(d.path(), fs::weakly_canonical(file));
    const Bytes bytes = {0, 0xff, 0x10, 'A'};
    const Strings list = {"one", "", "drei — 3"};
    d.setString("s", "héllo → \"quoted\"");
    d.setInteger("min", std::numeric_limits<std::int64_t>::min());
    d.setInteger("max", std::numeric_limits<std::int64_t>::max());
    d.setBoolean("b", false);
    d.setBytes("bytes", bytes);
    d.setStringList("list", list);
    d.setString("gone", "x");
    d.remove("gone");

    Json onDisk = Json::parse(readText(file));
    EXPECT_EQ(onDisk["bytes"], (Json{{"$bytes", "AP8QQQ=="}}));
    EXPECT_EQ(onDisk["b"], Json(false));
    EXPECT_FALSE(onDisk.contains("gone"));
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    Defaults again = reopened(file);
    EXPECT_EQ(again.string("s"), "héllo → \"quoted\"");
    EXPECT_EQ(again.integer("min"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(again.integer("max"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(again.boolean("b"), false);
    EXPECT_EQ(again.bytes("bytes"), bytes);
    EXPECT_EQ(again.stringList("list"), list);
    EXPECT_FALSE(again.contains("gone"));
}

TEST(Defaults, HandlesOfOneFileShareOneStoreWhateverThePathSpelling) {
    TempDir dir;
    fs::create_directories(dir / "sub");
    Defaults a = Defaults::file(dir / "prefs.json");
    Defaults b = Defaults::file(dir.path() / "sub" / ".." / "." / "prefs.json");
    Defaults other = Defaults::file(dir / "other.json");
    a.setString("k", "from a");
    EXPECT_EQ(b.string("k"), "from a");
    b.setInteger("n", 5);
    EXPECT_EQ(a.integer("n"), 5);
    EXPECT_FALSE(other.contains("k"));
    EXPECT_EQ(a.path(), b.path());

    Defaults m1 = Defaults::inMemory();
    Defaults m2 = Defaults::inMemory();
    m1.setBoolean("x", true);
    EXPECT_EQ(m1.boolean("x"), true);
    EXPECT_FALSE(m2.contains("x"));
    EXPECT_TRUE(m1.path().empty());
}

TEST(Defaults, TwoThreadsWritingLeaveAReadableFileWithEveryValue) {
    TempDir dir;
    const fs::path file = dir / "prefs.json";
    {
        std::vector<std::jthread> writers;
        for (int t = 0; t < 2; ++t) {
            writers.emplace_back([&, t] {
                Defaults d = Defaults::file(file); // each thread its own handle
                for (int i = 0; i < 100; ++i) d.setInteger(fmt::format("t{}-{}", t, i), i);
            });
        }
    }
    Defaults again = reopened(file);
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < 100; ++i) EXPECT_EQ(again.integer(fmt::format("t{}-{}", t, i)), i);
    }
}

TEST(Defaults, AFileThatDoesNotDecodeIsKeptAsCorruptBeforeTheFirstWrite) {
    for (std::string bad : {"{\"truncated\": ", "[1, 2]", "", "{\"a\": \"\xff\"}"}) {
        TempDir dir;
        const fs::path file = dir / "prefs.json";
        writeText(file, bad);
        Defaults d = Defaults::file(file);
        EXPECT_FALSE(d.contains("truncated"));
        EXPECT_EQ(readText(file), bad) << "reading alone changes nothing";

        d.setString("new", "value");
        EXPECT_EQ(readText(dir / "prefs.json.corrupt"), bad);
        EXPECT_EQ(reopened(file).string("new"), "value");
        d.setString("second", "write");
        EXPECT_EQ(readText(dir / "prefs.json.corrupt"), bad) << "kept once, not replaced";
    }
}

TEST(Defaults, AFailedWriteKeepsTheValueAndTheNextWriteStoresEverything) {
    TempDir dir;
    const fs::path file = dir / "later/prefs.json"; // the folder does not exist yet
    Defaults d = Defaults::file(file);
    d.setString("first", "kept in memory");
    EXPECT_EQ(d.string("first"), "kept in memory");
    EXPECT_FALSE(fs::exists(file));

    fs::create_directories(dir / "later");
    d.setString("invalid", "bad \xff byte"); // stored with U+FFFD on disk, exact in memory
    EXPECT_EQ(d.string("invalid"), "bad \xff byte");
    Defaults again = reopened(file);
    EXPECT_EQ(again.string("first"), "kept in memory");
    EXPECT_EQ(again.string("invalid"), "bad \xEF\xBF\xBD byte");
}
