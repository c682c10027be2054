#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pelsupport {

// What the catalogue says about one cask's release, for one platform tag or the cask itself.
struct GeneratedRelease {
    std::optional<std::string> version; // nullopt: the variation leaves the cask's own in force
    std::string url;
    std::string sha256; // "no_check" for unversioned downloads
};

// What a test may look up about one generated cask.
struct GeneratedCask {
    std::string token;
    std::optional<std::string> appName;    // bundle file name of its first "app" artifact
    std::optional<std::string> bundleID;   // the "quit" identifier of its uninstall directive
    std::optional<std::size_t> sharesWith; // index of an earlier cask claiming the same name and id
    GeneratedRelease release;
    std::map<std::string, GeneratedRelease> variations; // by platform tag ("arm64_sonoma", "sonoma")
    std::optional<std::string> minMacOS;
    std::string desc;
    std::string artifactType; // "app", "pkg", "installer", "suite", "binary" or "unknown"
};

struct GeneratedCatalogue {
    std::string json; // one line, as the cask API serves it
    std::vector<GeneratedCask> casks;
};

// A cask catalogue in the shapes the cask API publishes: every cask carries the full set of keys
// (names, homepage, url specs, caveats, languages, tap data, deprecation fields), and artifacts mix
// "app" (plain and with a target), "pkg", "installer" (manual and script), "suite", "binary",
// plists of pre/postflight blocks, "uninstall" directives (quit, launchctl, signal, pkgutil with
// wildcards, delete, login items) and "zap" trash lists. About one cask in five has per-platform
// variations, most have a depends_on.macos, some are "latest"/"no_check", and every tenth cask is a
// "@beta" twin that names the same bundle as the cask before it. Deterministic for a seed.
// 7,500 casks make about the size of the real catalogue.
GeneratedCatalogue buildCatalogue(std::size_t caskCount, std::uint32_t seed = 1);

} // namespace pelsupport
