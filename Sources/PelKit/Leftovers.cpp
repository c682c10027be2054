#include "PelKit/Leftovers.hpp"

#include "PelKit/Config.hpp"
#include "PelKit/Downloads.hpp"
#include "PelKit/Installer.hpp"
#include "Platform/Files.hpp"
#include "Platform/Uuid.hpp"

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>

namespace pelkit::leftovers {
namespace fs = std::filesystem;

namespace {

struct Marks {
    std::mutex mutex;
    std::multiset<std::string> paths;
};

// Never destroyed: an update still running at exit may drop its mark late.
Marks& marks() {
    static Marks* m = new Marks();
    return *m;
}

bool isUpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// The string form of a UUID: 8-4-4-4-12 upper-case hexadecimal digits.
bool isUuid(std::string_view s) {
    if (s.size() != 36) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? s[i] != '-' : !isUpperHex(s[i])) return false;
    }
    return true;
}

bool isWorkFolderName(std::string_view name) {
    if (name.starts_with("pel-admin-")) return isUuid(name.substr(10));
    return name.starts_with("pel-") && isUuid(name.substr(4));
}

// An entry's own attributes (links not followed), when they can be read.
std::optional<struct stat> entryStat(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return std::nullopt;
    return st;
}

bool olderThanMinimum(const struct stat& st, const platform::Clock& clock) {
    const auto modified = std::chrono::seconds{st.st_mtim.tv_sec} + std::chrono::nanoseconds{st.st_mtim.tv_nsec};
    const TimePoint at{std::chrono::duration_cast<TimePoint::duration>(modified)};
    return clock.now() - at > kMinimumAge;
}

std::vector<fs::path> entriesOf(const fs::path& folder) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        out.push_back(it->path());
    return out;
}

bool isFolder(const struct stat& st) {
    return S_ISDIR(st.st_mode);
}

void sweepWorkFolders(const fs::path& root, const platform::Clock& clock) {
    for (const fs::path& p : entriesOf(root)) {
        if (!isWorkFolderName(p.filename().native())) continue;
        auto st = entryStat(p);
        if (!st || !isFolder(*st) || !olderThanMinimum(*st, clock) || inUse(p)) continue;
        std::error_code ec;
        fs::remove_all(p, ec);
    }
}

// root/<bundle>/<version>/.pel-store-* and the downloads received there, pel-dl-*
void sweepPartialStores(const platform::Clock& clock) {
    for (const fs::path& bundle : entriesOf(DownloadCache::root().filePath())) {
        for (const fs::path& version : entriesOf(bundle)) {
            for (const fs::path& p : entriesOf(version)) {
                const std::string name = p.filename().native();
                if (!name.starts_with(".pel-store-") && !name.starts_with("pel-dl-")) continue;
                auto st = entryStat(p);
                if (!st || !S_ISREG(st->st_mode) || !olderThanMinimum(*st, clock) || inUse(p)) continue;
                std::error_code ec;
                fs::remove(p, ec);
            }
        }
    }
}

void sweepAttachedImages(const platform::Clock& clock) {
    for (const fs::path& record : entriesOf(attachRecordsDir())) {
        auto st = entryStat(record);
        if (!st || !S_ISREG(st->st_mode) || !olderThanMinimum(*st, clock) || inUse(record)) continue;
        std::ifstream in(record, std::ios::binary);
        const std::string image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (image.empty() || Installer::detachImagesOf(image)) {
            std::error_code ec;
            fs::remove(record, ec);
        }
    }
}

} // namespace

InUse::InUse(fs::path path) : path_(std::move(path)) {
    std::lock_guard lock(marks().mutex);
    marks().paths.insert(path_.native());
}

InUse::~InUse() {
    std::lock_guard lock(marks().mutex);
    auto it = marks().paths.find(path_.native());
    if (it != marks().paths.end()) marks().paths.erase(it);
}

bool inUse(const fs::path& path) {
    std::lock_guard lock(marks().mutex);
    return marks().paths.contains(path.native());
}

fs::path attachRecordsDir() {
    return fs::path(PelPaths::cacheDir().filePath()) / "attached-images";
}

AttachRecord::AttachRecord(const std::string& imagePath)
    : file_(attachRecordsDir() / platform::uuidV4()), mark_(file_) {
    try {
        platform::createDirectories(file_.parent_path(), 0700);
        platform::atomicWrite(file_, imagePath, 0600);
    } catch (const std::exception&) {
        // Without a record only a later sweep misses this image.
    }
}

void AttachRecord::release() {
    std::error_code ec;
    fs::remove(file_, ec);
}

void sweep(const fs::path& temporaryRoot, const platform::Clock& clock) {
    try {
        sweepWorkFolders(temporaryRoot, clock);
        sweepPartialStores(clock);
        sweepAttachedImages(clock);
    } catch (...) {
        // Best effort: what stays is tried again at the next start.
    }
}

} // namespace pelkit::leftovers
