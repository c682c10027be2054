#include "Support/CatalogueBuilder.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <array>
#include <random>
#include <set>
#include <string_view>

namespace pelsupport {
namespace {

using OJson = nlohmann::ordered_json;

constexpr std::array<std::string_view, 30> kSyllables{
    "vor", "ka",  "lin", "zen", "tri", "flo", "desk", "mar", "qui", "bel", "sta", "ro", "nex", "pix", "ul",
    "tan", "gor", "sy",  "mo",  "dex", "ar",  "phi",  "lum", "cor", "ve",  "sol", "ix", "bra", "no",  "tek"};
constexpr std::array<std::string_view, 12> kDescs{"Web browser",
                                                  "Text editor for code and prose",
                                                  "Screenshot and annotation tool",
                                                  "Menu bar utility",
                                                  "Video player",
                                                  "Password manager",
                                                  "Note-taking app",
                                                  "Terminal emulator",
                                                  "Disk space visualiser",
                                                  "Music streaming client",
                                                  "Cloud storage client",
                                                  "Database management tool"};
constexpr std::array<std::string_view, 6> kMinMacOS{"10.13", "10.15", "11", "12", "13", "14"};
// Release names of macOS, newest first: the keys Intel builds sit under, "arm64_" before one for the
// Apple-silicon build of a release that differs from the cask's own.
constexpr std::array<std::string_view, 8> kReleases{"golden_gate", "tahoe",    "sequoia", "sonoma",
                                                    "ventura",     "monterey", "big_sur", "catalina"};
// How many of kReleases a minimum macOS of kMinMacOS[i] reaches.
constexpr std::array<std::size_t, 6> kReleasesFrom{8, 8, 7, 6, 5, 4};
constexpr std::array<std::string_view, 3> kArmSuffixes{"arm64", "aarch64", "apple-silicon"};
constexpr std::array<std::string_view, 3> kIntelSuffixes{"x86_64", "x64", "intel"};
constexpr std::array<std::string_view, 8> kLanguages{"de", "en", "es", "fr", "it", "ja", "ko", "zh"};
constexpr std::array<std::string_view, 13> kRegions{"AT", "AU", "BR", "CA", "CH", "CN", "DE",
                                                    "ES", "FR", "GB", "MX", "TW", "US"};
// Share of casks that are suites (see uninstallDirective).
constexpr int kSuitePercent = 11;

class Generator {
public:
    explicit Generator(std::uint32_t seed) : rng_(seed) {}

    int pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
    bool chance(int percent) { return pick(100) < percent; }

    std::string hex(std::size_t digits) {
        static constexpr char kHex[] = "0123456789abcdef";
        std::string out(digits, '0');
        for (char& c : out)
            c = kHex[rng_() & 15u];
        return out;
    }

    std::string version() {
        switch (pick(10)) {
        case 0:
            return fmt::format("{}.{}.{}", 2020 + pick(6), 1 + pick(12), pick(30));
        case 1:
            return fmt::format("{}.{}.{},{}", pick(10), pick(20), pick(10), 1000 + pick(90000));
        case 2:
            return fmt::format("{}.{}", 1 + pick(120), pick(10));
        case 3:
            return fmt::format("{}.{}.{}-beta.{}", pick(5), pick(10), pick(10), 1 + pick(9));
        default:
            return fmt::format("{}.{}.{}", pick(30), pick(20), pick(50));
        }
    }

private:
    std::mt19937 rng_;
};

struct Identity {
    std::string name;   // "Vorkalin"
    std::string token;  // "vorkalin"
    std::string vendor; // "vorkalin" or a shared vendor
};

// A distinct name for every index below 27,000; later indexes get a number.
Identity identityFor(std::size_t i) {
    std::size_t n = (i * 7919) % 27000;
    std::string a{kSyllables[n % 30]}, b{kSyllables[(n / 30) % 30]}, c{kSyllables[(n / 900) % 30]};
    Identity id;
    bool twoWords = n % 4 == 0;
    auto cap = [](std::string s) {
        s[0] = static_cast<char>(s[0] - 'a' + 'A');
        return s;
    };
    id.name = twoWords ? cap(a + b) + " " + cap(c) : cap(a + b + c);
    id.token = twoWords ? a + b + "-" + c : a + b + c;
    if (i >= 27000) {
        id.name += fmt::format(" {}", i / 27000);
        id.token += fmt::format("-{}", i / 27000);
    }
    id.vendor = (n % 7 == 0) ? std::string("corp") + b : a + b + c;
    return id;
}

std::string dotted(const std::string& token) {
    std::string out;
    for (char c : token) {
        if (c != '-' && c != '@') out.push_back(c);
    }
    return out;
}

// A suite (an office package, a creative bundle) installs dozens of packages, agents and folders,
// and its cask lists each one: such casks (about one in nine here) carry a large share of the
// catalogue's bytes.
OJson uninstallDirective(Generator& g, const Identity& id, const std::optional<std::string>& quitID,
                         const std::string& pkgID, bool withPkgutil, bool suite) {
    OJson d = OJson::object();
    if (g.chance(20)) d["early_script"] = {{"executable", "/usr/bin/true"}, {"must_succeed", false}};
    if (suite) {
        OJson agents = OJson::array();
        for (int k = 0, n = 4 + g.pick(10); k < n; ++k)
            agents.push_back(fmt::format("com.{}.{}.agent{}", id.vendor, dotted(id.token), k));
        d["launchctl"] = std::move(agents);
    } else {
        d["launchctl"] = fmt::format("com.{}.helper", id.vendor);
    }
    if (quitID) {
        if (g.chance(25)) {
            d["quit"] = {*quitID, fmt::format("com.{}.agent", id.vendor)};
        } else {
            d["quit"] = *quitID;
        }
    }
    if (g.chance(15)) d["signal"] = OJson::array({OJson::array({"TERM", quitID.value_or("com.x.y")})});
    if (g.chance(15)) d["login_item"] = id.name;
    if (suite) {
        OJson packages = OJson::array({pkgID});
        for (int k = 0, n = 60 + g.pick(180); k < n; ++k)
            packages.push_back(fmt::format("{}.component{}", pkgID, k));
        d["pkgutil"] = std::move(packages);
        OJson folders = OJson::array();
        for (int k = 0, n = 20 + g.pick(60); k < n; ++k)
            folders.push_back(
                fmt::format("/Library/Application Support/{}/Shared Components/Component {}", id.name, k));
        d["delete"] = std::move(folders);
    } else if (withPkgutil) {
        if (g.chance(50)) {
            d["pkgutil"] = {pkgID, fmt::format("com.{}.*", id.vendor)};
        } else {
            d["pkgutil"] = pkgID;
        }
    }
    if (!suite && g.chance(30)) {
        d["delete"] = {fmt::format("/Library/Application Support/{}", id.name),
                       fmt::format("/usr/local/bin/{}", id.token)};
    }
    if (g.chance(10)) d["kext"] = fmt::format("com.{}.driver", id.vendor);
    return d;
}

OJson zapDirective(Generator& g, const Identity& id, const std::string& bundleID, bool suite) {
    OJson d = OJson::object();
    static constexpr std::array<std::string_view, 20> kPlaces{
        "~/Library/Application Support/{0}",
        "~/Library/Caches/{1}",
        "~/Library/Caches/{1}.ShipIt",
        "~/Library/HTTPStorages/{1}",
        "~/Library/HTTPStorages/{1}.binarycookies",
        "~/Library/Logs/{0}",
        "~/Library/Preferences/{1}.plist",
        "~/Library/Preferences/ByHost/{1}.*.plist",
        "~/Library/Saved Application State/{1}.savedState",
        "~/Library/WebKit/{1}",
        "~/Library/Containers/{1}",
        "~/Library/Group Containers/group.{1}",
        "~/Library/Application Scripts/{1}",
        "~/Library/Application Scripts/{1}.helper",
        "~/Library/Application Support/CrashReporter/{0}*",
        "~/Library/Application Support/com.apple.sharedfilelist/"
        "com.apple.LSSharedFileList.ApplicationRecentDocuments/{1}.sfl*",
        "~/Library/Cookies/{1}.binarycookies",
        "~/Library/LaunchAgents/{1}.updater.plist",
        "~/Library/Application Support/Google/Chrome/NativeMessagingHosts/{1}.json",
        "~/Library/Application Support/Mozilla/NativeMessagingHosts/{1}.json"};
    OJson trash = OJson::array();
    const int count = 3 + g.pick(18);
    for (int k = 0; k < count; ++k) {
        trash.push_back(fmt::format(fmt::runtime(kPlaces[static_cast<std::size_t>(k)]), id.name, bundleID));
    }
    for (int k = 0, n = suite ? 40 + g.pick(120) : 0; k < n; ++k)
        trash.push_back(fmt::format("~/Library/Containers/{}.extension{}", bundleID, k));
    d["trash"] = std::move(trash);
    if (g.chance(30)) d["rmdir"] = fmt::format("~/Documents/{}", id.name);
    if (g.chance(15)) d["pkgutil"] = fmt::format("com.{}.zaphelper", id.vendor);
    if (g.chance(10)) d["launchctl"] = fmt::format("com.{}.updater", id.vendor);
    return d;
}

OJson releaseObject(const GeneratedRelease& r) {
    OJson o = OJson::object();
    if (r.version) o["version"] = *r.version;
    o["url"] = r.url;
    o["sha256"] = r.sha256;
    return o;
}

} // namespace

GeneratedCatalogue buildCatalogue(std::size_t caskCount, std::uint32_t seed) {
    Generator g(seed);
    GeneratedCatalogue out;
    out.casks.reserve(caskCount);
    std::string json = "[";
    json.reserve(caskCount * 3200);

    std::vector<Identity> identities;
    std::set<std::string> used;
    for (std::size_t i = 0; i < caskCount; ++i) {
        // Syllables can join to the same word twice; a number keeps names distinct.
        Identity id = identityFor(i);
        if (!used.insert(id.token).second) {
            id.name += fmt::format(" {}", i);
            id.token += fmt::format("-{}", i);
            used.insert(id.token);
        }
        identities.push_back(std::move(id));
    }

    for (std::size_t i = 0; i < caskCount; ++i) {
        const bool twin = i % 10 == 9 && i > 0 && out.casks[i - 1].appName.has_value();
        const Identity& id = identities[twin ? i - 1 : i];
        GeneratedCask cask;
        cask.token = twin ? out.casks[i - 1].token + "@beta" : id.token;
        if (twin) cask.sharesWith = i - 1;
        const std::string bundleID = fmt::format("com.{}.{}", id.vendor, dotted(id.token));
        const std::string pkgID = bundleID + ".pkg";

        // The kind of artifact, and which identifiers its uninstall directive names.
        int roll = twin ? 0 : g.pick(100);
        cask.artifactType = roll < 80   ? "app"
                            : roll < 88 ? "pkg"
                            : roll < 91 ? "installer"
                            : roll < 93 ? "suite"
                            : roll < 97 ? "binary"
                                        : "unknown";
        const bool latest = !twin && g.chance(3);
        const std::string version = latest ? "latest" : g.version();
        const char* ext = cask.artifactType == "pkg" ? "pkg"
                          : g.chance(60)             ? "dmg"
                          : g.chance(70)             ? "zip"
                                                     : "tar.gz";
        // Separate builds per architecture: the cask's own url and sha256 are the Apple-silicon one.
        const bool perArch = !latest && g.chance(55);
        const std::string armSuffix =
            perArch ? fmt::format("-{}", kArmSuffixes[static_cast<std::size_t>(g.pick(kArmSuffixes.size()))])
                    : std::string();
        const std::string intelSuffix =
            fmt::format("-{}", kIntelSuffixes[static_cast<std::size_t>(g.pick(kIntelSuffixes.size()))]);
        auto downloadURL = [&](const std::string& v, const std::string& suffix) {
            return fmt::format("https://downloads.{}.com/releases/{}/{}-{}{}.{}", dotted(id.vendor), v,
                               dotted(id.token), v, suffix, ext);
        };
        cask.release.version = version;
        cask.release.url = downloadURL(version, armSuffix);
        cask.release.sha256 = latest ? "no_check" : g.hex(64);
        std::optional<std::size_t> minIndex;
        if (g.chance(85)) {
            minIndex = static_cast<std::size_t>(g.pick(kMinMacOS.size()));
            cask.minMacOS = std::string(kMinMacOS[*minIndex]);
        }
        cask.desc = std::string(kDescs[static_cast<std::size_t>(g.pick(kDescs.size()))]);

        OJson artifacts = OJson::array();
        std::optional<std::string> quitID;
        // A twin names its sibling's bundle identifier or none, so that the sibling owns every key.
        bool withPkgutil =
            !twin && (cask.artifactType == "pkg" || cask.artifactType == "installer" || g.chance(10));
        if (twin ? out.casks[i - 1].bundleID == bundleID : g.chance(70)) quitID = bundleID;
        const bool suite = !twin && g.chance(kSuitePercent);
        if (quitID || withPkgutil || suite) {
            artifacts.push_back({{"uninstall", OJson::array({uninstallDirective(g, id, quitID, pkgID,
                                                                                withPkgutil, suite)})}});
            cask.bundleID = quitID ? *quitID : pkgID;
        }
        if (g.chance(10)) artifacts.push_back({{"preflight", nullptr}});
        const std::string appFile = id.name + ".app";
        if (cask.artifactType == "app") {
            cask.appName = appFile;
            switch (twin ? 0 : g.pick(10)) {
            case 0:
            case 1:
            case 2:
            case 3:
            case 4:
            case 5:
                // Served with the install location beside the artifact, in the same object.
                artifacts.push_back({{"app", {appFile}}, {"target", "/Applications/" + appFile}});
                break;
            case 6:
                artifacts.push_back({{"app", {appFile, {{"target", id.name + " Pro.app"}}}}});
                break;
            case 7:
                artifacts.push_back({{"app", {fmt::format("{} {}/{}", id.name, version, appFile)}}});
                break;
            case 8:
                artifacts.push_back({{"app", {appFile, fmt::format("{} Helper.app", id.name)}}});
                break;
            default:
                artifacts.push_back({{"app", {{{"source", "Contents/Resources/" + appFile}}}}});
                break;
            }
            if (g.chance(15)) {
                artifacts.push_back({{"binary",
                                      {fmt::format("$APPDIR/{}/Contents/MacOS/{}", appFile, id.token),
                                       {{"target", id.token}}}}});
            }
        } else if (cask.artifactType == "pkg") {
            if (g.chance(40)) {
                artifacts.push_back({{"pkg",
                                      {id.name + ".pkg",
                                       {{"choices", OJson::array({{{"choiceIdentifier", "x"},
                                                                   {"choiceAttribute", "selected"},
                                                                   {"attributeSetting", 0}}})}}}}});
            } else {
                artifacts.push_back({{"pkg", {fmt::format("{} {}.pkg", id.name, version)}}});
            }
        } else if (cask.artifactType == "installer") {
            if (g.chance(50)) {
                artifacts.push_back({{"installer", {{{"manual", "Install " + appFile}}}}});
            } else {
                artifacts.push_back(
                    {{"installer",
                      {{{"script",
                         {{"executable", "Install.command"}, {"args", {"--silent"}}, {"sudo", true}}}}}}});
            }
        } else if (cask.artifactType == "suite") {
            artifacts.push_back({{"suite", {id.name}}});
        } else if (cask.artifactType == "binary") {
            artifacts.push_back({{"binary", {id.token}}});
            if (g.chance(30)) artifacts.push_back({{"manpage", {id.token + ".1"}}});
        } else {
            switch (g.pick(3)) {
            case 0:
                artifacts.push_back({{"font", {id.name + "-Regular.ttf", id.name + "-Bold.ttf"}}});
                break;
            case 1:
                artifacts.push_back({{"qlplugin", {id.name + ".qlgenerator"}}});
                break;
            default:
                artifacts.push_back({{"prefpane", {id.name + ".prefPane"}}});
                break;
            }
        }
        if (g.chance(10)) artifacts.push_back({{"postflight", nullptr}});
        if (g.chance(75))
            artifacts.push_back({{"zap", OJson::array({zapDirective(g, id, bundleID, suite)})}});

        // Variations: the Intel build under every release the cask supports, then the two Linux keys
        // (no checksum); some casks keep an older version for their oldest releases, under the bare
        // name and, when built per architecture, under "arm64_" too.
        OJson variations = OJson::object();
        const std::size_t releases = minIndex ? kReleasesFrom[*minIndex] : kReleases.size();
        std::size_t olderFrom = releases;
        if (!latest && releases > 2 && g.chance(8))
            olderFrom = releases - 1 - static_cast<std::size_t>(g.pick(2));
        const std::string olderVersion = g.version();
        const GeneratedRelease intel{std::nullopt, downloadURL(version, intelSuffix), g.hex(64)};
        for (std::size_t k = 0; k < releases; ++k) {
            const std::string tag{kReleases[k]};
            if (k >= olderFrom) {
                if (perArch) {
                    GeneratedRelease arm{olderVersion, downloadURL(olderVersion, armSuffix), g.hex(64)};
                    variations["arm64_" + tag] = releaseObject(arm);
                    cask.variations.emplace("arm64_" + tag, arm);
                }
                GeneratedRelease old{olderVersion, downloadURL(olderVersion, intelSuffix), g.hex(64)};
                OJson entry = releaseObject(old);
                if (g.chance(15)) entry["depends_on"] = {{"macos", {{">=", {"10.15"}}}}};
                variations[tag] = std::move(entry);
                cask.variations.emplace(tag, old);
            } else if (perArch) {
                variations[tag] = releaseObject(intel);
                cask.variations.emplace(tag, intel);
            }
        }
        if (perArch) {
            variations["x86_64_linux"] = {{"url", intel.url}, {"sha256", nullptr}};
            variations["arm64_linux"] = {{"sha256", nullptr}};
        }

        OJson dependsOn = OJson::object();
        dependsOn["macos"] = cask.minMacOS ? OJson{{">=", {*cask.minMacOS}}} : OJson::object();
        if (g.chance(5)) dependsOn["cask"] = {cask.token + "-helper"};

        OJson c = OJson::object();
        c["token"] = cask.token;
        c["full_token"] = cask.token;
        c["old_tokens"] = g.chance(5) ? OJson::array({id.token + "-old"}) : OJson::array();
        c["name"] = {id.name};
        c["desc"] = cask.desc;
        c["homepage"] = fmt::format("https://www.{}.com/", dotted(id.vendor));
        c["url"] = cask.release.url;
        c["url_specs"] = g.chance(40)
                             ? OJson{{"verified", fmt::format("downloads.{}.com/", dotted(id.vendor))}}
                             : OJson::object();
        c["version"] = version;
        const bool autobump = g.chance(70);
        c["autobump"] = autobump;
        c["no_autobump_message"] =
            autobump ? OJson(nullptr) : OJson("Requires manual verification of the release");
        c["skip_livecheck"] = false;
        c["bundle_version"] = nullptr;
        c["bundle_short_version"] = nullptr;
        c["pinned"] = false;
        c["pinned_version"] = nullptr;
        c["outdated"] = false;
        c["sha256"] = cask.release.sha256;
        c["artifacts"] = std::move(artifacts);
        c["caveats"] = g.chance(10)
                           ? OJson(fmt::format("{} requires a kernel extension to work.\nIf the installation "
                                               "fails, retry after you enable it in:\n  System Settings → "
                                               "Privacy & Security\n",
                                               id.name))
                           : OJson(nullptr);
        c["caveats_rosetta"] = perArch || !g.chance(5) ? OJson(nullptr) : OJson(true);
        c["depends_on"] = std::move(dependsOn);
        c["conflicts_with"] = twin ? OJson{{"cask", {out.casks[i - 1].token}}} : OJson(nullptr);
        c["container"] = g.chance(5) ? OJson{{"type", "zip"}} : OJson(nullptr);
        c["rename"] = OJson::array();
        c["auto_updates"] = g.chance(40) ? OJson(true) : OJson(nullptr);
        c["deprecated"] = false;
        c["deprecation_date"] = nullptr;
        c["deprecation_reason"] = nullptr;
        c["deprecation_replacement_formula"] = nullptr;
        c["deprecation_replacement_cask"] = nullptr;
        c["deprecate_args"] = nullptr;
        c["disabled"] = false;
        c["disable_date"] = nullptr;
        c["disable_reason"] = nullptr;
        c["disable_replacement_formula"] = nullptr;
        c["disable_replacement_cask"] = nullptr;
        c["disable_args"] = nullptr;
        OJson languages = OJson::array();
        if (suite) {
            for (int k = 0, n = 30 + g.pick(80); k < n; ++k) {
                languages.push_back(fmt::format("{}-{}",
                                                kLanguages[static_cast<std::size_t>(k) % kLanguages.size()],
                                                kRegions[static_cast<std::size_t>(k) % kRegions.size()]));
            }
        } else if (g.chance(8)) {
            for (auto lang : kLanguages)
                languages.push_back(lang);
        }
        c["languages"] = std::move(languages);
        c["variations"] = std::move(variations);

        if (i) json += ',';
        json += c.dump();
        out.casks.push_back(std::move(cask));
    }
    json += "]";
    out.json = std::move(json);
    return out;
}

} // namespace pelsupport
