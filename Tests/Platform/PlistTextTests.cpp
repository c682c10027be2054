#include "Platform/Plist.hpp"
#include "Support/PlistBytes.hpp"
#include "Support/TempDir.hpp"

#include <gtest/gtest.h>

#include <pthread.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

using pelsupport::bytesText;
using pelsupport::utf16Text;
using platform::PlistError;
using platform::PlistValue;

namespace {

const std::string kNul = "property list text holds a NUL character";

std::string fixture(const std::string& name) {
    return pelsupport::readText(std::filesystem::path(PEL_TEST_SOURCE_DIR) /
                                "Tests/Fixtures/realworld/plists" / name);
}

std::string errorOf(const std::string& bytes) {
    try {
        PlistValue::parse(bytes);
    } catch (const PlistError& e) {
        return e.what();
    }
    return "parsed";
}

// Runs `work` on a thread with the given stack size, as a secondary thread of the target system has.
void onThreadWithStack(size_t bytes, std::function<void()> work) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, bytes), 0);
    pthread_t thread;
    auto run = [](void* f) -> void* {
        (*static_cast<std::function<void()>*>(f))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, &work), 0);
    pthread_attr_destroy(&attr);
    pthread_join(thread, nullptr);
}

std::string unclosed(int levels) {
    std::string s = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">";
    for (int i = 0; i < levels / 2; ++i)
        s += "<dict><array>";
    return s;
}

std::string describe(const PlistValue& v) {
    return v.toXml();
}

// UTF-8 text whose characters are all below U+0100, as ISO-8859-1 bytes.
std::string latin1(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(
                static_cast<char>(((c & 0x1F) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F)));
        }
    }
    return out;
}

// ASCII text as UTF-16 in either byte order.
std::string widened(const std::string& ascii, bool bigEndian) {
    std::string out;
    for (char c : ascii) {
        if (bigEndian) out.push_back('\0');
        out.push_back(c);
        if (!bigEndian) out.push_back('\0');
    }
    return out;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

} // namespace

// libplist aborts the process on a text or key holding a NUL; such a document is refused instead.
TEST(PlistText, ANulInATextOrKeyIsRefused) {
    const auto id = std::pair{bytesText("CFBundleIdentifier"), bytesText("com.example.nul")};
    const std::string copyrightNul = pelsupport::binaryTextDictionary(
        {id, {bytesText("NSHumanReadableCopyright"), utf16Text({u"a\0b", 3})}});
    ASSERT_EQ(copyrightNul.size(), 123u);
    struct Case {
        const char* name;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"binary, UTF-16 text", copyrightNul},
        {"binary, 8-bit text",
         pelsupport::binaryTextDictionary({id, {bytesText("k"), bytesText({"a\0b", 3})}})},
        {"binary, 8-bit key",
         pelsupport::binaryTextDictionary({id, {bytesText({"NS\0Key", 6}), bytesText("x")}})},
        {"binary, UTF-16 key",
         pelsupport::binaryTextDictionary({id, {utf16Text({u"K\0", 2}), bytesText("x")}})},
        {"XML, raw NUL in a string", std::string("<string>\0</string>", 18)},
        {"XML, raw NUL in a key", std::string("<plist><dict><key>a\0b</key><true/></dict></plist>", 49)},
        {"XML, raw NUL in a comment", std::string("<plist><!-- \0 --><true/></plist>", 32)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(errorOf(c.bytes), kNul);
    }
    EXPECT_EQ(errorOf("<plist><string>a&#0;b</string></plist>"), "property list could not be parsed");
    // The same documents with a visible character in place of the NUL read as usual.
    auto fine = PlistValue::parse(
        pelsupport::binaryTextDictionary({id, {bytesText("NSHumanReadableCopyright"), utf16Text(u"a b")}}));
    EXPECT_EQ(fine.stringForKey("CFBundleIdentifier"), "com.example.nul");
    EXPECT_EQ(fine.stringForKey("NSHumanReadableCopyright"), "a b");
}

// libplist recurses per element before any depth check can run on its tree.
TEST(PlistText, DeepUnclosedXmlIsRefusedBeforeTheParserRecurses) {
    const std::string large = unclosed(175'000);
    const std::string small = unclosed(12'000);
    ASSERT_GT(large.size(), 1'100'000u);
    ASSERT_LT(small.size(), 90'000u);
    EXPECT_EQ(errorOf(large), "property list nested too deeply");
    // A secondary thread of the target system has a 512 KiB stack.
    std::string onSmallStack, deepestAllowed;
    onThreadWithStack(512 * 1024, [&] {
        onSmallStack = errorOf(small);
        std::string nested = "<plist>";
        for (int i = 0; i < 240; ++i)
            nested += "<array>";
        nested += "<true/>";
        for (int i = 0; i < 240; ++i)
            nested += "</array>";
        deepestAllowed = errorOf(nested + "</plist>");
    });
    EXPECT_EQ(onSmallStack, "property list nested too deeply");
    EXPECT_EQ(deepestAllowed, "parsed");
}

// Every form of one document reads as its UTF-8 form; texts never come back as ill-formed UTF-8.
TEST(PlistText, EncodingsReadAsTheirUtf8Form) {
    const std::string hda = fixture("hda-verb-fix.plist");
    const std::string cosmx = fixture("cosmx.plist");
    const std::string zoom = fixture("zoom-main.plist");
    const std::string utf8Declaration = "encoding=\"UTF-8\"";
    struct Case {
        const char* name;
        std::string bytes;
        std::string utf8;
    };
    const std::vector<Case> cases = {
        {"UTF-16 with a byte-order mark", fixture("derived-hda-verb-fix.utf16.plist"), hda},
        {"UTF-16BE without a mark", widened(hda, true), hda},
        {"UTF-16LE without a mark", widened(hda, false), hda},
        {"UTF-8 with a byte-order mark", "\xEF\xBB\xBF" + zoom, zoom},
        {"ISO-8859-1 as declared", latin1(replaced(cosmx, utf8Declaration, "encoding=\"ISO-8859-1\"")),
         cosmx},
        {"windows-1252 as declared",
         "<?xml version=\"1.0\" encoding=\"windows-1252\"?><plist><string>\x80 5 \xA9</string></plist>",
         "<plist><string>\xE2\x82\xAC 5 \xC2\xA9</string></plist>"},
        {"Shift_JIS as declared, with a byte it leaves unassigned",
         "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><plist><string>\x82\xA0\xFF</string></plist>",
         "<plist><string>\xE3\x81\x82\xEF\xBF\xBD</string></plist>"},
        {"undeclared 8-bit bytes", "<plist><string>\xA9 caf\xE9</string></plist>",
         "<plist><string>\xEF\xBF\xBD caf\xEF\xBF\xBD</string></plist>"},
        {"an encoding nobody knows",
         "<?xml version=\"1.0\" encoding=\"x-unheard-of\"?><plist><string>\xA9</string></plist>",
         "<plist><string>\xEF\xBF\xBD</string></plist>"},
        {"a surrogate from a character reference",
         "<plist><dict><key>k&#xD800;</key><string>&#xDC00;</string></dict></plist>",
         "<plist><dict><key>k\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD</key>"
         "<string>\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD</string></dict></plist>"},
        {"binary 8-bit text and key",
         pelsupport::binaryTextDictionary({{bytesText("caf\xE9"), bytesText("\xA9 2020")}}),
         "<plist><dict><key>caf\xEF\xBF\xBD</key><string>\xEF\xBF\xBD 2020</string></dict></plist>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PlistValue read, expected;
        ASSERT_NO_THROW(read = PlistValue::parse(c.bytes));
        ASSERT_NO_THROW(expected = PlistValue::parse(c.utf8));
        EXPECT_EQ(describe(read), describe(expected));
    }
    EXPECT_EQ(PlistValue::parse(latin1(replaced(cosmx, utf8Declaration, "encoding=\"ISO-8859-1\"")))
                  .stringForKey("NSHumanReadableCopyright"),
              PlistValue::parse(cosmx).stringForKey("NSHumanReadableCopyright"));
}
