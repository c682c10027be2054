#include "PelKit/UpdateSources/HomebrewCatalogue.hpp"

#include "PelKit/Models.hpp"
#include "Platform/Files.hpp"

#include <simdjson.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>
#include <vector>

namespace pelkit {
namespace {

namespace od = simdjson::ondemand;
using od::json_type;

// One entry of "artifacts", gathered before anything is entered: the whole array may still turn
// out not to be an array of objects, and then none of it counts.
struct ArtifactFacts {
    std::vector<std::string_view> appNames;
    std::vector<std::string_view> uninstallIDs;
    std::vector<std::string_view> zapIDs;
    std::uint8_t typeKeys = 0; // bit i: key kTypeKeys[i] present
};

constexpr std::array<std::string_view, 5> kTypeKeys{"app", "pkg", "installer", "suite", "binary"};

// The three values a variation may replace; a value of another type is absent.
struct Triple {
    std::optional<std::string_view> version;
    std::optional<std::string_view> url;
    std::optional<std::string_view> sha256;
};

// Views into the parser's string buffer stay valid for the whole document.
std::optional<std::string_view> stringOf(od::value v) {
    if (v.type() != json_type::string) return std::nullopt;
    return std::string_view(v.get_string());
}

// Every element a string, else nothing at all.
std::optional<std::vector<std::string_view>> stringArrayOf(od::value v) {
    if (v.type() != json_type::array) return std::nullopt;
    std::vector<std::string_view> out;
    bool allStrings = true;
    for (auto element : v.get_array()) {
        od::value e = std::move(element);
        if (e.type() != json_type::string) {
            allStrings = false;
            continue;
        }
        if (allStrings) out.push_back(e.get_string());
    }
    if (!allStrings) return std::nullopt;
    return out;
}

// A string, or an array of strings.
std::vector<std::string_view> identifiersOf(od::value v) {
    if (v.type() == json_type::string) return {std::string_view(v.get_string())};
    if (auto list = stringArrayOf(v)) return std::move(*list);
    return {};
}

// "uninstall" or "zap": an array of directive objects, read as one value. `withQuit` reads "quit"
// after "pkgutil" (uninstall only).
std::vector<std::string_view> directiveIDs(od::value v, bool withQuit) {
    if (v.type() != json_type::array) return {};
    std::vector<std::string_view> out;
    bool allObjects = true;
    for (auto element : v.get_array()) {
        od::value directive = std::move(element);
        if (directive.type() != json_type::object) {
            allObjects = false;
            continue;
        }
        if (!allObjects) continue;
        std::vector<std::string_view> pkgutil, quit;
        for (auto field : directive.get_object()) {
            od::field f = std::move(field);
            std::string_view key = f.unescaped_key();
            if (key == "pkgutil") {
                pkgutil = identifiersOf(f.value());
            } else if (withQuit && key == "quit") {
                quit = identifiersOf(f.value());
            }
        }
        out.insert(out.end(), pkgutil.begin(), pkgutil.end());
        out.insert(out.end(), quit.begin(), quit.end());
    }
    if (!allObjects) return {};
    return out;
}

// "app": each element a string, or an object whose "source" is a string; other elements are
// passed over.
std::vector<std::string_view> appNamesOf(od::value v) {
    if (v.type() != json_type::array) return {};
    std::vector<std::string_view> out;
    for (auto element : v.get_array()) {
        od::value e = std::move(element);
        std::optional<std::string_view> path;
        switch (e.type()) {
        case json_type::string:
            path = std::string_view(e.get_string());
            break;
        case json_type::object:
            for (auto field : e.get_object()) {
                od::field f = std::move(field);
                if (std::string_view(f.unescaped_key()) == "source") path = stringOf(f.value());
            }
            break;
        default:
            break;
        }
        if (!path) continue;
        std::string_view name = lastPathComponent(*path);
        if (!name.empty()) out.push_back(name);
    }
    return out;
}

ArtifactFacts artifactOf(od::object artifact) {
    ArtifactFacts facts;
    for (auto field : artifact) {
        od::field f = std::move(field);
        std::string_view key = f.unescaped_key();
        for (std::size_t i = 0; i < kTypeKeys.size(); ++i) {
            if (key == kTypeKeys[i]) facts.typeKeys |= static_cast<std::uint8_t>(1u << i);
        }
        // A repeated key counts as its last value, as with any JSON decoder.
        if (key == "app") {
            facts.appNames = appNamesOf(f.value());
        } else if (key == "uninstall") {
            facts.uninstallIDs = directiveIDs(f.value(), true);
        } else if (key == "zap") {
            facts.zapIDs = directiveIDs(f.value(), false);
        }
    }
    return facts;
}

// "artifacts": an array of objects, else nothing.
std::optional<std::vector<ArtifactFacts>> artifactsOf(od::value v) {
    if (v.type() != json_type::array) return std::nullopt;
    std::vector<ArtifactFacts> out;
    bool allObjects = true;
    for (auto element : v.get_array()) {
        od::value e = std::move(element);
        if (e.type() != json_type::object) {
            allObjects = false;
            continue;
        }
        if (allObjects) out.push_back(artifactOf(e.get_object()));
    }
    if (!allObjects) return std::nullopt;
    return out;
}

Triple tripleOf(od::object object) {
    Triple t;
    for (auto field : object) {
        od::field f = std::move(field);
        std::string_view key = f.unescaped_key();
        if (key == "version") {
            t.version = stringOf(f.value());
        } else if (key == "url") {
            t.url = stringOf(f.value());
        } else if (key == "sha256") {
            t.sha256 = stringOf(f.value());
        }
    }
    return t;
}

// "variations": an object of objects; only the entry for this machine is read.
std::optional<Triple> variationOf(od::value v, std::string_view variationKey) {
    if (v.type() != json_type::object) return std::nullopt;
    std::optional<Triple> chosen;
    bool allObjects = true;
    for (auto field : v.get_object()) {
        od::field f = std::move(field);
        std::string_view key = f.unescaped_key();
        od::value entry = f.value();
        if (entry.type() != json_type::object) {
            allObjects = false;
            continue;
        }
        if (allObjects && !variationKey.empty() && key == variationKey) chosen = tripleOf(entry.get_object());
    }
    if (!allObjects) return std::nullopt;
    return chosen;
}

// depends_on.macos[">="][0]
std::optional<std::string_view> minMacOSOf(od::value dependsOn) {
    if (dependsOn.type() != json_type::object) return std::nullopt;
    std::optional<std::string_view> result;
    for (auto field : dependsOn.get_object()) {
        od::field f = std::move(field);
        if (std::string_view(f.unescaped_key()) != "macos") continue;
        result.reset();
        od::value macos = f.value();
        if (macos.type() != json_type::object) continue;
        for (auto relation : macos.get_object()) {
            od::field r = std::move(relation);
            if (std::string_view(r.unescaped_key()) != ">=") continue;
            result.reset();
            if (auto list = stringArrayOf(r.value()); list && !list->empty()) result = list->front();
        }
    }
    return result;
}

std::optional<std::string> owned(std::optional<std::string_view> v) {
    if (!v) return std::nullopt;
    return std::string(*v);
}

class Decoder {
public:
    explicit Decoder(std::string_view variationKey) : variationKey_(variationKey) {}

    void cask(od::object object) {
        std::optional<std::string_view> token;
        std::optional<std::vector<ArtifactFacts>> artifacts;
        Triple own;
        std::optional<Triple> variation;
        std::optional<std::string_view> minMacOS, desc;
        for (auto field : object) {
            od::field f = std::move(field);
            std::string_view key = f.unescaped_key();
            if (key == "token") {
                token = stringOf(f.value());
            } else if (key == "artifacts") {
                artifacts = artifactsOf(f.value());
            } else if (key == "version") {
                own.version = stringOf(f.value());
            } else if (key == "url") {
                own.url = stringOf(f.value());
            } else if (key == "sha256") {
                own.sha256 = stringOf(f.value());
            } else if (key == "variations") {
                variation = variationOf(f.value(), variationKey_);
            } else if (key == "depends_on") {
                minMacOS = minMacOSOf(f.value());
            } else if (key == "desc") {
                desc = stringOf(f.value());
            }
        }
        if (!token) return; // also an empty object

        CaskRecord record;
        record.version = owned(variation && variation->version ? variation->version : own.version);
        record.url = owned(variation && variation->url ? variation->url : own.url);
        record.sha256 = owned(variation && variation->sha256 ? variation->sha256 : own.sha256);
        record.minMacOS = owned(minMacOS);
        record.desc = owned(desc);
        if (artifacts) {
            for (const ArtifactFacts& a : *artifacts) {
                if (a.typeKeys == 0) continue;
                for (std::size_t i = 0; i < kTypeKeys.size(); ++i) {
                    if (a.typeKeys & (1u << i)) {
                        record.artifactType = static_cast<CaskArtifactType>(i);
                        break;
                    }
                }
                break;
            }
            for (const ArtifactFacts& a : *artifacts) {
                for (std::string_view name : a.appNames) {
                    if (out_.tokenMap.find(name) == out_.tokenMap.end()) out_.tokenMap.emplace(name, *token);
                }
                claimIdentifiers(a.uninstallIDs, *token);
                claimIdentifiers(a.zapIDs, *token);
            }
        }
        out_.casks.insert_or_assign(std::string(*token), std::move(record));
    }

    HomebrewCatalogue take() { return std::move(out_); }

private:
    void claimIdentifiers(const std::vector<std::string_view>& ids, std::string_view token) {
        for (std::string_view id : ids) {
            if (id.find('*') != std::string_view::npos) continue; // a wildcard pattern names no bundle
            if (out_.bundleIDMap.find(id) == out_.bundleIDMap.end()) out_.bundleIDMap.emplace(id, token);
        }
    }

    std::string_view variationKey_;
    HomebrewCatalogue out_;
};

// The on-demand parser judges a document's shape before it has read all of it, so text that is
// no JSON at all ("{", "[1,", "nul") would otherwise be called a catalogue of the wrong shape.
// Only this failure path reads the whole text again.
[[noreturn]] void notAnArray(std::string_view json) {
    if (!Json::accept(json)) throw simdjson::simdjson_error(simdjson::TAPE_ERROR);
    throw PelError(ErrorCode::SRC_FEED_MALFORMED, std::nullopt, AppSource::homebrew, "cask.json not an array",
                   false);
}

} // namespace

std::string_view rawValue(CaskArtifactType type) {
    static constexpr std::array<std::string_view, 6> names{"app",   "pkg",    "installer",
                                                           "suite", "binary", "unknown"};
    return names[static_cast<std::size_t>(type)];
}

std::string_view lastPathComponent(std::string_view path) {
    while (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

HomebrewCatalogue HomebrewCatalogue::decode(std::string& bytes, std::string_view variationKey) {
    const std::size_t length = bytes.size();
    if (bytes.capacity() < length + simdjson::SIMDJSON_PADDING)
        bytes.reserve(length + simdjson::SIMDJSON_PADDING);
    simdjson::padded_string_view json(bytes.data(), length, bytes.capacity());

    // The parser checks structure, strings and UTF-8 throughout, and the text of numbers and
    // literals where they are read; the values passed over are not converted.
    od::parser parser;
    od::document doc = parser.iterate(json);
    if (doc.type() != json_type::array) notAnArray(std::string_view(bytes.data(), length));
    Decoder decoder(variationKey);
    for (auto element : doc.get_array()) {
        od::value v = std::move(element);
        if (v.type() != json_type::object) notAnArray(std::string_view(bytes.data(), length));
        decoder.cask(v.get_object());
    }
    // Past the array's end the iterator must have run out of tokens: "[...] [...]" is no catalogue.
    if (doc.current_location().error() != simdjson::OUT_OF_BOUNDS) {
        throw simdjson::simdjson_error(simdjson::TRAILING_CONTENT);
    }
    return decoder.take();
}

std::string HomebrewCatalogue::readFile(const std::filesystem::path& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw platform::fileError("cannot open", file, errno);
    platform::ScopeGuard closer([fd] { ::close(fd); });
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw platform::fileError("cannot stat", file, errno);
    if (S_ISDIR(st.st_mode)) throw platform::fileError("cannot read", file, EISDIR);
    // Read straight into the buffer the parser will use, with its padding already reserved: the
    // catalogue is tens of megabytes and is never copied. A file that grows while it is read is
    // still read whole.
    std::string bytes;
    std::size_t got = 0;
    bytes.resize(static_cast<std::size_t>(st.st_size) + simdjson::SIMDJSON_PADDING);
    for (;;) {
        if (got == bytes.size()) bytes.resize(bytes.size() * 2 + 65536);
        ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw platform::fileError("cannot read", file, errno);
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    // Shrinking keeps the capacity, so the padding stays behind the text.
    bytes.resize(got);
    return bytes;
}

std::string HomebrewCatalogue::encodeTokenMap() const {
    Json object = Json::object();
    for (const auto& [name, token] : tokenMap)
        object[name] = token;
    return object.dump();
}

std::optional<RemoteVersion> HomebrewCatalogue::release(const std::string& token) const {
    auto it = casks.find(token);
    if (it == casks.end()) return std::nullopt;
    const CaskRecord& cask = it->second;
    if (!cask.version) {
        throw PelError(ErrorCode::SRC_FEED_MALFORMED, std::nullopt, AppSource::homebrew,
                       "cask " + token + " has no version", false);
    }
    RemoteVersion r;
    r.source = AppSource::homebrew;
    r.sourceToken = token;
    r.version = *cask.version;
    if (cask.url) r.downloadURL = Url::parse(*cask.url);
    // An empty checksum never matches a download, so it counts as none.
    if (cask.sha256 && !cask.sha256->empty() && *cask.sha256 != "no_check") r.sha256 = cask.sha256;
    r.minSystemVersion = cask.minMacOS;
    r.notes = cask.desc;
    r.artifactType = std::string(rawValue(cask.artifactType));
    return r;
}

std::optional<std::string> caskToken(const HomebrewCatalogue* catalogue, const InstalledApp& app,
                                     const std::optional<OverrideEntry>& override) {
    if (override && override->caskToken) return override->caskToken;
    if (!catalogue) return std::nullopt;
    const std::string path = app.path.filePath();
    return catalogue->tokenFor(lastPathComponent(path), app.bundleID);
}

std::optional<std::string_view> macOSCodename(int major) {
    switch (major) {
    case 12:
        return "monterey";
    case 13:
        return "ventura";
    case 14:
        return "sonoma";
    case 15:
        return "sequoia";
    default:
        return std::nullopt;
    }
}

std::string variationKey(int major, CpuArchitecture architecture) {
    auto name = macOSCodename(major);
    if (!name) return {};
    return architecture == CpuArchitecture::arm64 ? "arm64_" + std::string(*name) : std::string(*name);
}

std::optional<std::string> HomebrewCatalogue::tokenFor(std::string_view bundleFileName,
                                                       std::string_view bundleID) const {
    if (auto it = tokenMap.find(bundleFileName); it != tokenMap.end()) return it->second;
    if (auto it = bundleIDMap.find(bundleID); it != bundleIDMap.end()) return it->second;
    return std::nullopt;
}

} // namespace pelkit
