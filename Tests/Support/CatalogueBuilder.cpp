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
constexpr std::array<std::string_view, 11> kVariationTags{
    "arm64_sequoia", "arm64_sonoma", "arm64_ventura", "arm64_monterey", "arm64_big_sur", "sequoia",
    "sonoma",        "ventura",      "monterey",      "big_sur",        "catalina"};
constexpr std::array<std::string_view, 8> kLanguages{"de", "en", "es", "fr", "it", "ja", "ko", "zh"};

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

OJson uninstallDirective(Generator& g, const Identity& id, const std::optional<std::string>& quitID,
                         const std::string& pkgID, bool withPkgutil) {
    OJson d = OJson::object();
    if (g.chance(20)) d["early_script"] = {{"executable", "/usr/bin/true"}, {"must_succeed", false}};
    d["launchctl"] = fmt::format("com.{}.helper", id.vendor);
    if (quitID) {
        if (g.chance(25)) {
            d["quit"] = {*quitID, fmt::format("com.{}.agent", id.vendor)};
        } else {
            d["quit"] = *quitID;
        }
    }
    if (g.chance(15)) d["signal"] = OJson::array({OJson::array({"TERM", quitID.value_or("com.x.y")})});
    if (g.chance(15)) d["login_item"] = id.name;
    if (withPkgutil) {
        if (g.chance(50)) {
            d["pkgutil"] = {pkgID, fmt::format("com.{}.*", id.vendor)};
        } else {
            d["pkgutil"] = pkgID;
        }
    }
    if (g.chance(30)) {
        d["delete"] = {fmt::format("/Library/Application Support/{}", id.name),
                       fmt::format("/usr/local/bin/{}", id.token)};
    }
    if (g.chance(10)) d["kext"] = fmt::format("com.{}.driver", id.vendor);
    return d;
}

OJson zapDirective(Generator& g, const Identity& id, const std::string& bundleID) {
    OJson d = OJson::object();
    static constexpr std::array<std::string_view, 12> kPlaces{
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
        "~/Library/Group Containers/group.{1}"};
    OJson trash = OJson::array();
    const int count = 3 + g.pick(10);
    for (int k = 0; k < count; ++k) {
        trash.push_back(fmt::format(fmt::runtime(kPlaces[static_cast<std::size_t>(k)]), id.name, bundleID));
    }
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
        cask.release.version = version;
        cask.release.url = fmt::format("https://downloads.{}.com/releases/{}/{}-{}.{}", dotted(id.vendor),
                                       version, dotted(id.token), version, ext);
        cask.release.sha256 = latest ? "no_check" : g.hex(64);
        cask.desc = std::string(kDescs[static_cast<std::size_t>(g.pick(kDescs.size()))]);

        OJson artifacts = OJson::array();
        std::optional<std::string> quitID;
        // A twin names its sibling's bundle identifier or none, so that the sibling owns every key.
        bool withPkgutil =
            !twin && (cask.artifactType == "pkg" || cask.artifactType == "installer" || g.chance(10));
        if (twin ? out.casks[i - 1].bundleID == bundleID : g.chance(70)) quitID = bundleID;
        if (quitID || withPkgutil) {
            artifacts.push_back(
                {{"uninstall", OJson::array({uninstallDirective(g, id, quitID, pkgID, withPkgutil)})}});
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
                artifacts.push_back({{"app", {appFile}}});
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
        if (g.chance(75)) artifacts.push_back({{"zap", OJson::array({zapDirective(g, id, bundleID)})}});

        // Per-platform variations: the bare name is the Intel build, "arm64_" the Apple-silicon one.
        OJson variations = OJson::object();
        if (!latest && g.chance(20)) {
            int count = 1 + g.pick(4);
            int first = g.pick(static_cast<int>(kVariationTags.size()));
            for (int k = 0; k < count; ++k) {
                std::string tag{
                    kVariationTags[static_cast<std::size_t>((first + k) % kVariationTags.size())]};
                GeneratedRelease r;
                if (g.chance(40)) r.version = g.version();
                r.url = fmt::format("https://downloads.{}.com/releases/{}/{}-{}.{}", dotted(id.vendor),
                                    r.version.value_or(version), tag, dotted(id.token), ext);
                r.sha256 = g.hex(64);
                OJson entry = releaseObject(r);
                if (g.chance(15)) entry["depends_on"] = {{"macos", {{">=", {"10.15"}}}}};
                cask.variations.emplace(tag, r);
                variations[tag] = std::move(entry);
            }
        }

        OJson dependsOn = OJson::object();
        if (g.chance(85)) {
            cask.minMacOS = std::string(kMinMacOS[static_cast<std::size_t>(g.pick(kMinMacOS.size()))]);
            dependsOn["macos"] = {{">=", {*cask.minMacOS}}};
        }
        if (g.chance(5)) dependsOn["cask"] = {cask.token + "-helper"};

        OJson c = OJson::object();
        c["token"] = cask.token;
        c["full_token"] = cask.token;
        c["old_tokens"] = g.chance(5) ? OJson::array({id.token + "-old"}) : OJson::array();
        c["tap"] = "homebrew/cask";
        c["name"] = {id.name};
        c["desc"] = cask.desc;
        c["homepage"] = fmt::format("https://www.{}.com/", dotted(id.vendor));
        c["url"] = cask.release.url;
        c["url_specs"] = g.chance(40)
                             ? OJson{{"verified", fmt::format("downloads.{}.com/", dotted(id.vendor))}}
                             : OJson::object();
        c["version"] = version;
        c["installed"] = nullptr;
        c["installed_time"] = nullptr;
        c["bundle_version"] = nullptr;
        c["bundle_short_version"] = nullptr;
        c["outdated"] = false;
        c["sha256"] = cask.release.sha256;
        c["artifacts"] = std::move(artifacts);
        c["caveats"] = g.chance(10)
                           ? OJson(fmt::format("{} requires a kernel extension to work.\nIf the installation "
                                               "fails, retry after you enable it in:\n  System Settings → "
                                               "Privacy & Security\n",
                                               id.name))
                           : OJson(nullptr);
        c["depends_on"] = std::move(dependsOn);
        c["conflicts_with"] = twin ? OJson{{"cask", {out.casks[i - 1].token}}} : OJson(nullptr);
        c["container"] = g.chance(5) ? OJson{{"type", "zip"}} : OJson(nullptr);
        c["auto_updates"] = g.chance(40) ? OJson(true) : OJson(nullptr);
        c["deprecated"] = false;
        c["deprecation_date"] = nullptr;
        c["deprecation_reason"] = nullptr;
        c["deprecation_replacement"] = nullptr;
        c["disabled"] = false;
        c["disable_date"] = nullptr;
        c["disable_reason"] = nullptr;
        c["disable_replacement"] = nullptr;
        c["tap_git_head"] = g.hex(40);
        OJson languages = OJson::array();
        if (g.chance(8)) {
            for (auto lang : kLanguages)
                languages.push_back(lang);
        }
        c["languages"] = std::move(languages);
        c["ruby_source_path"] = fmt::format("Casks/{}/{}.rb", cask.token.substr(0, 1), cask.token);
        c["ruby_source_checksum"] = {{"sha256", g.hex(64)}};
        if (!variations.empty()) c["variations"] = std::move(variations);

        if (i) json += ',';
        json += c.dump();
        out.casks.push_back(std::move(cask));
    }
    json += "]";
    out.json = std::move(json);
    return out;
}

} // namespace pelsupport
