#include "PelKit/UpdateSources/Sparkle.hpp"

#include "PelKit/HTTP.hpp"
#include "PelKit/UpdateSources/SparkleEncoding.hpp"
#include "Platform/HttpTransport.hpp"
#include "Platform/Unicode.hpp"

#include <expat.h>
#include <fmt/format.h>

#include <cstring>
#include <limits>

namespace pelkit {
namespace {

// The state of one parse; never shared between parses.
struct ParseState {
    XML_Parser parser = nullptr;
    std::vector<SparkleSource::Item> items;
    std::optional<SparkleSource::Item> current;
    std::string text;
    std::string refusal;  // set when we stop the parser ourselves
    const Url* feed = nullptr;  // relative enclosure addresses are meant relative to it
    int deltasDepth = 0;        // inside <sparkle:deltas>: binary patches, not the release
    bool ownEnclosure = false;      // the open item has an enclosure for this system
    bool foreignEnclosure = false;  // ... or one for another system
};

// An enclosure address as written, or relative to the feed. An empty or fragment-only
// reference would name the feed itself, never a download.
std::optional<Url> enclosureAddress(const char* text, const Url* feed) {
    std::string_view ref(text);
    if (!feed) return Url::parse(ref);
    if (ref.empty() || ref.front() == '#') return std::nullopt;
    return feed->resolve(ref);
}

void onStart(void* data, const XML_Char* name, const XML_Char** attrs) {
    auto& st = *static_cast<ParseState*>(data);
    st.text.clear();
    if (std::strcmp(name, "item") == 0) {
        st.current = SparkleSource::Item{};
        st.ownEnclosure = st.foreignEnclosure = false;
        return;
    }
    if (std::strcmp(name, "sparkle:deltas") == 0) {
        ++st.deltasDepth;
        return;
    }
    if (std::strcmp(name, "enclosure") != 0 || !st.current || st.deltasDepth > 0) return;
    auto& item = *st.current;
    // Attributes in a fixed order of effect, whatever their order in the document.
    auto attr = [&](const char* key) -> const char* {
        for (size_t i = 0; attrs[i]; i += 2) {
            if (std::strcmp(attrs[i], key) == 0) return attrs[i + 1];
        }
        return nullptr;
    };
    if (const char* os = attr("sparkle:os"); os && !platform::equalsIgnoringCase(os, "macos")) {
        st.foreignEnclosure = true;
        return;
    }
    st.ownEnclosure = true;
    if (const char* url = attr("url")) {
        if (auto parsed = enclosureAddress(url, st.feed)) item.enclosureURL = *parsed;
    }
    if (const char* length = attr("length")) {
        if (auto parsed = parseDecimalInt64(length)) item.length = *parsed;
    }
    if (const char* v = attr("sparkle:shortVersionString"); v && item.version.empty()) item.version = v;
    if (const char* v = attr("sparkle:version"); v && !item.build) item.build = v;
    if (const char* v = attr("sparkle:minimumSystemVersion"); v && !item.minSystemVersion) item.minSystemVersion = v;
    if (const char* v = attr("sparkle:channel")) item.channel = v;
}

void onCharacters(void* data, const XML_Char* s, int len) {
    auto& st = *static_cast<ParseState*>(data);
    st.text.append(s, static_cast<size_t>(len));
}

void onEnd(void* data, const XML_Char* name) {
    auto& st = *static_cast<ParseState*>(data);
    std::string value = platform::unicode::trim(st.text);
    auto setOnce = [&](std::optional<std::string>& field) {
        if (!value.empty() && st.current && !field) field = value;
    };
    if (std::strcmp(name, "sparkle:shortVersionString") == 0) {
        if (!value.empty() && st.current) st.current->version = value;
    } else if (std::strcmp(name, "sparkle:version") == 0) {
        if (st.current) setOnce(st.current->build);
    } else if (std::strcmp(name, "sparkle:minimumSystemVersion") == 0) {
        if (st.current) setOnce(st.current->minSystemVersion);
    } else if (std::strcmp(name, "sparkle:channel") == 0) {
        if (st.current) setOnce(st.current->channel);
    } else if (std::strcmp(name, "sparkle:deltas") == 0) {
        if (st.deltasDepth > 0) --st.deltasDepth;
    } else if (std::strcmp(name, "item") == 0) {
        // An item that offers downloads only for other systems is no release for this one.
        const bool foreignOnly = st.foreignEnclosure && !st.ownEnclosure;
        if (st.current && !st.current->version.empty() && !foreignOnly) st.items.push_back(std::move(*st.current));
        st.current.reset();
    }
    st.text.clear();
}

// A feed has no business declaring entities; refusing them keeps expansion bombs out entirely.
void onEntityDecl(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*, const XML_Char*,
                  const XML_Char*, const XML_Char*) {
    auto& st = *static_cast<ParseState*>(data);
    st.refusal = "entity declarations are not allowed";
    XML_StopParser(st.parser, XML_FALSE);
}

PelError malformed(const std::string& description) {
    return PelError(ErrorCode::SRC_FEED_MALFORMED, std::nullopt, AppSource::sparkle,
                    "XML parse failed: " + description, false);
}

}  // namespace

namespace {

// One run of expat over the bytes. `encoding` overrides the document's declaration. Fills
// `st.items`, or returns the description of the failure.
std::optional<std::string> runParser(ParseState& st, std::string_view bytes, const XML_Char* encoding,
                                     appcast::EncodingNote& note) {
    XML_Parser parser = XML_ParserCreate(encoding);  // namespace processing off
    if (!parser) return "?";
    st.parser = parser;
    XML_SetUserData(parser, &st);
    XML_SetElementHandler(parser, onStart, onEnd);
    XML_SetCharacterDataHandler(parser, onCharacters);
    XML_SetEntityDeclHandler(parser, onEntityDecl);
    XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetUnknownEncodingHandler(parser, appcast::unknownEncoding, &note);

    // Feed in bounded chunks: expat takes an int length.
    constexpr size_t kChunk = 1 << 20;
    XML_Status status = XML_STATUS_OK;
    size_t offset = 0;
    do {
        size_t n = std::min(kChunk, bytes.size() - offset);
        bool last = offset + n == bytes.size();
        status = XML_Parse(parser, bytes.data() + offset, static_cast<int>(n), last ? XML_TRUE : XML_FALSE);
        offset += n;
    } while (status == XML_STATUS_OK && offset < bytes.size());

    std::optional<std::string> description;
    if (status != XML_STATUS_OK) {
        if (!st.refusal.empty()) {
            description = st.refusal;
        } else {
            XML_Error code = XML_GetErrorCode(parser);
            const XML_LChar* text = XML_ErrorString(code);
            description = text ? fmt::format("{} (line {}, column {})", text, XML_GetCurrentLineNumber(parser),
                                             XML_GetCurrentColumnNumber(parser))
                               : "?";
        }
    }
    XML_ParserFree(parser);
    st.parser = nullptr;
    return description;
}

}  // namespace

std::vector<SparkleSource::Item> SparkleSource::parse(std::string_view bytes, const std::optional<Url>& feed) {
    auto attempt = [&](std::string_view text, const XML_Char* encoding, appcast::EncodingNote& note,
                       std::vector<Item>& items) -> std::optional<std::string> {
        ParseState st;
        if (feed) st.feed = &*feed;
        auto failure = runParser(st, text, encoding, note);
        if (!failure) items = std::move(st.items);
        return failure;
    };

    std::vector<Item> items;
    appcast::EncodingNote note;
    const auto failure = attempt(bytes, nullptr, note, items);
    if (!failure) return items;

    // Text that expat cannot take as it stands gets one more run as UTF-8: an encoding only ICU
    // knows, converted whole, or UTF-8 with ill-formed bytes, those replaced by U+FFFD.
    std::optional<std::string> utf8;
    if (note.convertWhole) {
        utf8 = platform::unicode::fromEncoding(bytes, note.convertWhole->c_str());
    } else if (!note.asked && !appcast::hasWideSignature(bytes)) {
        utf8 = platform::unicode::fromEncoding(bytes, "UTF-8");
        if (utf8 && *utf8 == bytes) utf8.reset();  // well-formed already: the fault is the markup
    }
    if (utf8) {
        appcast::EncodingNote again;
        if (!attempt(*utf8, "UTF-8", again, items)) return items;
    }
    throw malformed(*failure);
}

}  // namespace pelkit
