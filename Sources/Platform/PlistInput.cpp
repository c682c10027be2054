#include "Platform/PlistInput.hpp"

#include "Platform/Plist.hpp"
#include "Platform/Unicode.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace platform::plistinput {
namespace {

bool startsWith(std::string_view s, size_t at, std::string_view prefix) {
    return s.size() - at >= prefix.size() && s.compare(at, prefix.size(), prefix) == 0;
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

// The encoding named by an XML declaration at the very start of the document, if any.
std::optional<std::string> declaredEncoding(std::string_view s) {
    if (!startsWith(s, 0, "<?xml")) return std::nullopt;
    const size_t end = s.find("?>");
    const std::string_view decl = s.substr(0, end);
    size_t at = decl.find("encoding");
    if (at == std::string_view::npos) return std::nullopt;
    at = decl.find_first_not_of(" \t\r\n", at + 8);
    if (at == std::string_view::npos || decl[at] != '=') return std::nullopt;
    at = decl.find_first_not_of(" \t\r\n", at + 1);
    if (at == std::string_view::npos || (decl[at] != '"' && decl[at] != '\'')) return std::nullopt;
    const size_t close = decl.find(decl[at], at + 1);
    if (close == std::string_view::npos) return std::nullopt;
    return std::string(decl.substr(at + 1, close - at - 1));
}

std::string toUtf8(std::string_view bytes, const char* encoding) {
    auto utf8 = unicode::fromEncoding(bytes, encoding);
    if (!utf8) throw PlistError("property list could not be parsed");
    return *std::move(utf8);
}

} // namespace

// Binary: the containers reachable from the top object, walked with an explicit stack, each
// object measured once. The parser copies a shared object for every reference to it, so a small
// document of shared references unfolds into an exponential tree: the unfolded size is bounded
// too. A structure that cannot be walked is refused here, not left to the parser.
void checkBinaryShape(std::string_view s, int maxDepth, std::uint32_t maxNodes) {
    const PlistError malformed("property list could not be parsed");
    const PlistError tooDeep("property list nested too deeply or too large");
    const PlistError hasNul(kNulInText);
    if (s.size() < 8 + 32) throw malformed;
    auto readBE = [&](size_t at, size_t n, std::uint64_t& out) {
        if (n == 0 || n > 8 || at > s.size() || s.size() - at < n) return false;
        out = 0;
        for (size_t k = 0; k < n; ++k)
            out = (out << 8) | static_cast<unsigned char>(s[at + k]);
        return true;
    };
    const size_t trailer = s.size() - 32;
    const size_t offsetSize = static_cast<unsigned char>(s[trailer + 6]);
    const size_t refSize = static_cast<unsigned char>(s[trailer + 7]);
    std::uint64_t count = 0, top = 0, table = 0;
    readBE(trailer + 8, 8, count);
    readBE(trailer + 16, 8, top);
    readBE(trailer + 24, 8, table);
    if (offsetSize == 0 || offsetSize > 8 || refSize == 0 || refSize > 8 || top >= count || table > trailer ||
        count > (trailer - table) / offsetSize)
        throw malformed;
    if (count > maxNodes) throw tooDeep;

    // The references of a container object, or none for anything else. A text on the way is
    // looked at too: libplist aborts the process on one holding a NUL.
    struct Refs {
        size_t first = 0;
        std::uint64_t n = 0;
    };
    auto refsOf = [&](std::uint64_t object) -> Refs {
        std::uint64_t offset = 0;
        readBE(table + object * offsetSize, offsetSize, offset);
        if (offset >= trailer) throw malformed;
        auto marker = static_cast<unsigned char>(s[offset]);
        unsigned kind = marker >> 4;
        if (kind != 0x5 && kind != 0x6 && kind != 0xA && kind != 0xC && kind != 0xD) return {};
        std::uint64_t n = marker & 0x0F;
        size_t at = offset + 1;
        if (n == 0x0F) {
            if (at >= trailer) throw malformed;
            auto intMarker = static_cast<unsigned char>(s[at]);
            if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) throw malformed;
            size_t bytes = size_t{1} << (intMarker & 0x0F);
            if (!readBE(at + 1, bytes, n)) throw malformed;
            at += 1 + bytes;
        }
        if (kind == 0x5 || kind == 0x6) {
            const size_t unit = kind == 0x5 ? 1 : 2; // 8-bit or UTF-16 code units
            if (at > trailer || n > (trailer - at) / unit) throw malformed;
            for (size_t k = at; k < at + n * unit; k += unit) {
                if (s[k] == '\0' && s[k + unit - 1] == '\0') throw hasNul;
            }
            return {};
        }
        if (kind == 0xD) {
            if (n > std::numeric_limits<std::uint64_t>::max() / 2) throw malformed;
            n *= 2; // keys, then values
        }
        if (at > trailer || n > (trailer - at) / refSize) throw malformed;
        return Refs{at, n};
    };

    // Per object: 0 unseen, 1 on the current path, else 2 + its height; and its unfolded size.
    std::vector<std::uint16_t> state(count, 0);
    std::vector<std::uint32_t> nodes(count, 0);
    struct Frame {
        std::uint64_t object;
        Refs refs;
        std::uint64_t next = 0;
        int height = 1;
        std::uint64_t nodes = 1;
    };
    std::vector<Frame> path;
    path.push_back(Frame{top, refsOf(top)});
    state[top] = 1;
    while (!path.empty()) {
        Frame& f = path.back();
        if (f.next == f.refs.n) {
            const int height = f.height;
            const std::uint64_t size = f.nodes;
            state[f.object] = static_cast<std::uint16_t>(2 + height);
            nodes[f.object] = static_cast<std::uint32_t>(size);
            path.pop_back();
            if (path.empty()) break;
            Frame& parent = path.back();
            parent.height = std::max(parent.height, height + 1);
            parent.nodes += size;
            if (parent.nodes > maxNodes) throw tooDeep;
            continue;
        }
        std::uint64_t child = 0;
        readBE(f.refs.first + f.next * refSize, refSize, child);
        ++f.next;
        if (child >= count) continue;
        if (state[child] == 1) throw tooDeep; // a cycle nests without end
        if (state[child] >= 2) {
            f.height = std::max(f.height, state[child] - 2 + 1);
            f.nodes += nodes[child];
            if (static_cast<int>(path.size()) - 1 + f.height > maxDepth || f.nodes > maxNodes) throw tooDeep;
            continue;
        }
        if (static_cast<int>(path.size()) + 1 > maxDepth) throw tooDeep;
        state[child] = 1;
        path.push_back(Frame{child, refsOf(child)});
    }
}

std::string xmlAsUtf8(std::string_view s) {
    if (startsWith(s, 0, "\xEF\xBB\xBF")) return std::string(s.substr(3));
    if (startsWith(s, 0, std::string_view("\xFF\xFE\0\0", 4))) return toUtf8(s.substr(4), "UTF-32LE");
    if (startsWith(s, 0, std::string_view("\0\0\xFE\xFF", 4))) return toUtf8(s.substr(4), "UTF-32BE");
    if (startsWith(s, 0, "\xFF\xFE")) return toUtf8(s.substr(2), "UTF-16LE");
    if (startsWith(s, 0, "\xFE\xFF")) return toUtf8(s.substr(2), "UTF-16BE");
    if (startsWith(s, 0, std::string_view("<\0?\0", 4))) return toUtf8(s, "UTF-16LE");
    if (startsWith(s, 0, std::string_view("\0<\0?", 4))) return toUtf8(s, "UTF-16BE");
    const auto encoding = declaredEncoding(s);
    if (!encoding || equalsIgnoringCase(*encoding, "UTF-8") || equalsIgnoringCase(*encoding, "UTF8"))
        return std::string(s);
    return unicode::fromEncoding(s, encoding->c_str()).value_or(std::string(s));
}

void checkXmlShape(std::string_view s, int maxDepth) {
    if (s.find('\0') != std::string_view::npos) throw PlistError(kNulInText);
    // Each construct that hides markup ends at its first possible end, so that no nesting the
    // parser sees is skipped here.
    const auto skipPast = [&](size_t from, std::string_view end) {
        const size_t at = s.find(end, from);
        return at == std::string_view::npos ? s.size() : at + end.size();
    };
    int depth = 0;
    size_t i = 0;
    while ((i = s.find('<', i)) != std::string_view::npos) {
        if (startsWith(s, i, "<!--")) {
            i = skipPast(i + 4, "-->");
        } else if (startsWith(s, i, "<![CDATA[")) {
            i = skipPast(i + 9, "]]>");
        } else if (startsWith(s, i, "<?")) {
            i = skipPast(i + 2, "?>");
        } else if (startsWith(s, i, "<!")) {
            i = skipPast(i + 2, ">");
        } else if (startsWith(s, i, "</")) {
            depth = std::max(0, depth - 1);
            i = skipPast(i + 2, ">");
        } else {
            // A start tag; only double quotes hide a '>', as in the parser. A '<' ends it early.
            size_t at = i + 1;
            char last = 0;
            while (at < s.size() && s[at] != '>' && s[at] != '<') {
                if (s[at] == '"') {
                    at = skipPast(at + 1, "\"");
                    last = '"';
                    continue;
                }
                last = s[at++];
            }
            if (last != '/' && ++depth > maxDepth) throw PlistError("property list nested too deeply");
            i = at;
        }
    }
}

} // namespace platform::plistinput
