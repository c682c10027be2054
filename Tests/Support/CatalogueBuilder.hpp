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
    std::map<std::string, GeneratedRelease> variations; // by macOS tag ("sonoma", "arm64_big_sur"); no Linux keys
    std::optional<std::string> minMacOS;
    std::string desc;
    std::string artifactType; // "app", "pkg", "installer", "suite", "binary" or "unknown"
};

struct GeneratedCatalogue {
    std::string json; // one line, as the cask API serves it
    std::vector<GeneratedCask> casks;
};

// A cask catalogue in the shapes the cask API publishes: every cask carries the full set of keys
// (names, homepage, url specs, autobump and pin fields, caveats, deprecation and disable fields,
// languages, variations), and artifacts mix "app" (plain with its install target beside it, and with
// a target of its own), "pkg", "installer" (manual and script), "suite", "binary", pre/postflight
// blocks, "uninstall" directives (quit, launchctl, signal, pkgutil with wildcards, delete, login
// items) and "zap" trash lists. About half the casks are built per architecture: the cask's own url
// and sha256 are the Apple-silicon build, the Intel build sits under the bare name of every macOS
// release the cask supports, and "x86_64_linux"/"arm64_linux" follow without a checksum. Some casks
// keep an older version for their oldest releases (also under "arm64_" names when built per
// architecture); most have a depends_on.macos, some are "latest"/"no_check", and every tenth cask is
// a "@beta" twin that names the same bundle as the cask before it. Deterministic for a seed.
// 7,500 casks make about the size of the real catalogue (about 30 MB).
GeneratedCatalogue buildCatalogue(std::size_t caskCount, std::uint32_t seed = 1);

} // namespace pelsupport
