#pragma once

#include "PelKit/Config.hpp"
#include "PelKit/Models.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace pelkit {

// The kind of artifact a cask installs: the first of these keys found in its artifacts.
enum class CaskArtifactType : std::uint8_t { app, pkg, installer, suite, binary, unknown };
std::string_view rawValue(CaskArtifactType type);

// What resolution reads of one cask, with the variation for this machine already applied.
struct CaskRecord {
    std::optional<std::string> version;
    std::optional<std::string> url;
    std::optional<std::string> sha256;
    std::optional<std::string> minMacOS; // first ">=" of depends_on.macos
    std::optional<std::string> desc;
    CaskArtifactType artifactType = CaskArtifactType::unknown;

    bool operator==(const CaskRecord&) const = default;
};

// Lets unordered maps keyed by std::string be searched with a string_view.
struct TransparentStringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
template <class V>
using StringMap = std::unordered_map<std::string, V, TransparentStringHash, std::equal_to<>>;

// The cask catalogue as resolution needs it: one compact record per cask and the two maps that lead
// from an installed application to a cask token. The catalogue is tens of megabytes of JSON; only
// the few values read here are kept.
struct HomebrewCatalogue {
    StringMap<CaskRecord> casks;                              // token -> record; a later cask replaces
    std::map<std::string, std::string, std::less<>> tokenMap; // bundle file name -> token; first claim wins
    StringMap<std::string> bundleIDMap; // bundle or package identifier -> token; first claim wins

    // Decodes a catalogue. `bytes` keeps its content; its capacity may grow to give the parser the
    // padding it reads past the end. `variationKey` names the "variations" entry that applies on
    // this machine ("" for none). A value of another type than the one read counts as absent, and
    // one bad element voids an array of objects (or an object of objects).
    // Throws simdjson::simdjson_error when the bytes are not JSON, and PelError SRC_FEED_MALFORMED
    // "cask.json not an array" when the document is not an array of objects.
    static HomebrewCatalogue decode(std::string& bytes, std::string_view variationKey);

    // A file's bytes, read with room for the parser's padding (no copy at decode).
    // Throws std::filesystem::filesystem_error.
    static std::string readFile(const std::filesystem::path& file);

    // `tokenMap` as one JSON object, keys in byte order, without pretty-printing.
    std::string encodeTokenMap() const;

    // The bundle file name's entry of `tokenMap`, else the bundle identifier's of `bundleIDMap`.
    std::optional<std::string> tokenFor(std::string_view bundleFileName, std::string_view bundleID) const;

    // What the cask under `token` says of its newest release; nothing when there is no such cask.
    // Throws PelError SRC_FEED_MALFORMED "cask <token> has no version".
    std::optional<RemoteVersion> release(const std::string& token) const;
};

// The cask token of an application: the override's `caskToken` when set (the maps are then not
// consulted), else the entry of `tokenMap` under the bundle's file name, else the entry of
// `bundleIDMap` under its bundle identifier. With no catalogue only the override can answer.
std::optional<std::string> caskToken(const HomebrewCatalogue* catalogue, const InstalledApp& app,
                                     const std::optional<OverrideEntry>& override);

enum class CpuArchitecture { arm64, x86_64 };

// The release name of a macOS major version (12 "monterey" to 15 "sequoia"), else nothing.
std::optional<std::string_view> macOSCodename(int major);

// The "variations" key that applies to a machine: Apple-silicon entries are "arm64_" plus the
// release name, the bare name is the Intel entry. "" when the release has no name.
std::string variationKey(int major, CpuArchitecture architecture);

// The text after the last "/", ignoring trailing "/"s.
std::string_view lastPathComponent(std::string_view path);

} // namespace pelkit
