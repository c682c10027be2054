#include "PelKit/Scanner.hpp"

#include "PelKit/BundleReader.hpp"
#include "PelKit/Config.hpp"
#include "PelKit/DB.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <set>
#include <thread>
#include <utility>
#include <variant>

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

// Bundles are read by at most this many threads (never more than the machine has cores): each
// read waits mostly on its tools, and more at once would only crowd them.
constexpr unsigned kMaxReaders = 8;

// One bundle of the walk and what the scan learnt of it.
struct Found {
    Url bundle;
    bool nested = false;
    EntryStamp stamp{};
    std::optional<InstalledApp> record;
    bool cached = false;
    // A failed read: the skip reason, or an error that is no exception type the scan knows.
    std::variant<std::monostate, std::string, std::exception_ptr> failure;
};

void readBundle(Found& f) {
    try {
        f.record = BundleReader::read(f.bundle);
    } catch (const PelError& e) {
        f.failure = "bundle read failed: " + e.message();
    } catch (const std::exception& e) {
        f.failure = std::string("bundle read failed: ") + e.what();
    } catch (...) {
        f.failure = std::current_exception();
    }
}

// Reads the bundles at `indexes` on a small pool; each read fills only its own entry.
void readAll(std::vector<Found>& found, const std::vector<std::size_t>& indexes) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const auto workers = static_cast<unsigned>(
        std::min<std::size_t>({indexes.size(), std::min(cores, kMaxReaders)}));
    if (workers <= 1) {
        for (std::size_t i : indexes)
            readBundle(found[i]);
        return;
    }
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t k; (k = next.fetch_add(1)) < indexes.size();)
            readBundle(found[indexes[k]]);
    };
    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    for (unsigned w = 1; w < workers; ++w)
        pool.emplace_back(work);
    work();
    for (std::thread& t : pool)
        t.join();
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
    // The walk first, with a cache lookup per bundle; then the bundles the cache lacks are read
    // together; then every bundle is judged in the walk's order, as if read one after another.
    std::vector<Found> found;
    std::vector<bool> fromSystemRoot;
    const std::vector<ScanRoot> roots = roots_ ? *roots_ : defaultRoots();
    for (const auto& root : roots) {
        for (Url& bundle : findAppBundles(root.url.filePath(), 1)) {
            found.emplace_back().bundle = std::move(bundle);
            fromSystemRoot.push_back(root.isSystemRoot);
        }
    }

    std::vector<std::size_t> toRead;
    for (std::size_t i = 0; i < found.size(); ++i) {
        Found& f = found[i];
        const std::string path = f.bundle.filePath();
        if (path.find(".app/Contents/") != std::string::npos) {
            f.nested = true;
            continue;
        }
        f.stamp = entryStamp(path);
        f.record = DB::shared().getApp(path, f.stamp.mtime, f.stamp.size);
        f.cached = f.record.has_value();
        if (!f.cached) toRead.push_back(i);
    }
    readAll(found, toRead);

    ScanResult result;
    std::set<std::string> keptIDs;
    for (std::size_t i = 0; i < found.size(); ++i) {
        Found& f = found[i];
        if (f.nested) {
            result.skipped.push_back(skip(f.bundle, "nested helper inside another .app"));
            continue;
        }
        if (auto* error = std::get_if<std::exception_ptr>(&f.failure)) std::rethrow_exception(*error);
        if (auto* reason = std::get_if<std::string>(&f.failure)) {
            result.skipped.push_back(skip(f.bundle, std::move(*reason)));
            continue;
        }
        if (!f.cached) DB::shared().setApp(*f.record, f.stamp.mtime, f.stamp.size);

        const std::string& bundleID = f.record->bundleID;
        if (bundleID.starts_with("com.apple.") || fromSystemRoot[i]) {
            result.skipped.push_back(skip(f.bundle, "Apple-owned (" + bundleID + ")"));
            continue;
        }

        if (overrides) {
            if (auto entry = overrides->entry(bundleID); entry && entry->ignore.value_or(false)) {
                result.skipped.push_back(
                    skip(f.bundle, "override ignore: " +
                                       entry->ignoreReason.value_or("overrides.json ignore=true")));
                continue;
            }
        }

        if (!keptIDs.insert(bundleID).second) continue;
        result.apps.push_back(std::move(*f.record));
    }
    return result;
}

} // namespace pelkit
