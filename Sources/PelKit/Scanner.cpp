#include "PelKit/Scanner.hpp"

#include "PelKit/BundleReader.hpp"
#include "PelKit/Config.hpp"
#include "PelKit/DB.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <set>
#include <utility>

namespace pelkit {
namespace {

std::string joinPath(const std::string& base, const std::string& name) {
    std::string out = base;
    if (out.empty() || out.back() != '/') out += '/';
    out += name;
    return out;
}

// The extension as written: "Foo.app" is a bundle, "Foo.APP" and ".app" are not.
bool hasAppExtension(const std::string& name) {
    auto dot = name.rfind('.');
    return dot != std::string::npos && dot > 0 && name.compare(dot + 1, std::string::npos, "app") == 0;
}

bool isDirectoryFollowingLinks(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Hidden entries (names beginning with ".") are left out; the listing's own order is kept.
std::optional<std::vector<std::string>> listVisible(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return std::nullopt;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        names.push_back(std::move(name));
    }
    ::closedir(d);
    return names;
}

SkippedApp skip(const Url& bundle, std::string reason) {
    return SkippedApp{bundle, std::move(reason), std::nullopt};
}

} // namespace

Scanner::Scanner(std::shared_ptr<Overrides> overrides) : overrides(std::move(overrides)) {}

Scanner::Scanner(std::shared_ptr<Overrides> overrides, std::vector<ScanRoot> roots)
    : overrides(std::move(overrides)), roots_(std::move(roots)) {}

std::vector<ScanRoot> Scanner::defaultRoots(const std::string& homeDirectory) {
    return {
        ScanRoot{Url::fromFilePath("/Applications"), false},
        ScanRoot{Url::fromFilePath(joinPath(homeDirectory, "Applications")), false},
        ScanRoot{Url::fromFilePath("/System/Applications"), true},
    };
}

std::vector<ScanRoot> Scanner::defaultRoots() {
    return defaultRoots(PelPaths::home().string());
}

std::vector<Url> Scanner::findAppBundles(const std::string& root, int depth) {
    if (!exists(root)) return {};
    auto names = listVisible(root);
    if (!names) return {};
    std::vector<Url> found;
    for (const auto& name : *names) {
        std::string path = joinPath(root, name);
        if (hasAppExtension(name)) {
            found.push_back(Url::fromFilePath(path));
        } else if (depth >= 1 && isDirectoryFollowingLinks(path)) {
            auto inner = findAppBundles(path, depth - 1);
            found.insert(found.end(), std::make_move_iterator(inner.begin()),
                         std::make_move_iterator(inner.end()));
        }
    }
    return found;
}

ScanResult Scanner::scan() const {
    ScanResult result;
    std::set<std::string> keptIDs;
    const std::vector<ScanRoot> roots = roots_ ? *roots_ : defaultRoots();
    for (const auto& root : roots) {
        for (const Url& bundle : findAppBundles(root.url.filePath(), 1)) {
            const std::string path = bundle.filePath();
            if (path.find(".app/Contents/") != std::string::npos) {
                result.skipped.push_back(skip(bundle, "nested helper inside another .app"));
                continue;
            }

            const EntryStamp stamp = entryStamp(path);
            std::optional<InstalledApp> record = DB::shared().getApp(path, stamp.mtime, stamp.size);
            if (!record) {
                try {
                    record = BundleReader::read(bundle);
                } catch (const PelError& e) {
                    result.skipped.push_back(skip(bundle, "bundle read failed: " + e.message()));
                    continue;
                } catch (const std::exception& e) {
                    result.skipped.push_back(skip(bundle, std::string("bundle read failed: ") + e.what()));
                    continue;
                }
                DB::shared().setApp(*record, stamp.mtime, stamp.size);
            }

            const std::string& bundleID = record->bundleID;
            if (bundleID.starts_with("com.apple.") || root.isSystemRoot) {
                result.skipped.push_back(skip(bundle, "Apple-owned (" + bundleID + ")"));
                continue;
            }

            if (overrides) {
                if (auto entry = overrides->entry(bundleID); entry && entry->ignore.value_or(false)) {
                    result.skipped.push_back(
                        skip(bundle, "override ignore: " +
                                         entry->ignoreReason.value_or("overrides.json ignore=true")));
                    continue;
                }
            }

            if (!keptIDs.insert(bundleID).second) continue;
            result.apps.push_back(std::move(*record));
        }
    }
    return result;
}

} // namespace pelkit
