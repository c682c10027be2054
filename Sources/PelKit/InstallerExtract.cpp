// Pre-flight checks, format detection and extraction of a downloaded update.

#include "PelKit/Installer.hpp"

#include "PelKit/Leftovers.hpp"
#include "PelKit/Proc.hpp"
#include "Platform/Files.hpp"
#include "Platform/FreeSpace.hpp"
#include "Platform/Plist.hpp"

#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace pelkit {
namespace fs = std::filesystem;

namespace {

constexpr std::array<std::string_view, 6> kFormatRaw{"zip", "dmg", "targz", "tbz", "pkg", "unknown"};

constexpr double kDittoTimeout = 300;
constexpr double kTarTimeout = 300;
constexpr double kAttachTimeout = 120;
constexpr double kDetachTimeout = 30;
constexpr double kInfoTimeout = 30;

constexpr size_t kTrailerSize = 512;

PelError installError(ErrorCode code, std::string message) {
    return PelError(code, std::nullopt, std::nullopt, std::move(message), false);
}

std::string requireTool(std::string_view name) {
    auto path = Proc::which(name);
    if (!path) throw installError(ErrorCode::INT_UNEXPECTED, fmt::format("{} not found", name));
    return *path;
}

std::string asciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The text after the last "." of a file name; a leading dot starts no extension.
std::string_view pathExtension(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

// The folder holding a bundle: its path without the last component.
std::string parentFolder(const Url& bundle) {
    std::string path = bundle.filePath();
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_); // a failed close changes nothing we read
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Reads up to `n` bytes at `offset`; fewer on end of file, nothing on error.
std::string readAt(int fd, off_t offset, size_t n) {
    std::string bytes(n, '\0');
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::pread(fd, bytes.data() + got, n - got, offset + static_cast<off_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    bytes.resize(got);
    return bytes;
}

std::optional<Installer::Format> formatFromContent(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return std::nullopt;
    struct stat st {};
    // A disk image ends in a 512-byte trailer that begins "koly". Only that position counts: the
    // four letters elsewhere near the end (a zip's central directory naming "Ekolyte.app") do not.
    if (::fstat(fd.get(), &st) == 0 && st.st_size > static_cast<off_t>(kTrailerSize)) {
        if (readAt(fd.get(), st.st_size - static_cast<off_t>(kTrailerSize), 4) == "koly") {
            return Installer::Format::dmg;
        }
    }
    std::string head = readAt(fd.get(), 0, 8);
    auto startsWith = [&](std::string_view magic) { return head.compare(0, magic.size(), magic) == 0; };
    if (head.empty()) return std::nullopt;
    if (startsWith("PK\x03\x04") || startsWith("PK\x05\x06")) return Installer::Format::zip;
    if (startsWith("\x1f\x8b")) return Installer::Format::targz;
    if (startsWith("BZh")) return Installer::Format::tbz;
    if (startsWith("xar!")) return Installer::Format::pkg;
    return std::nullopt;
}

Installer::Format formatFromName(const std::string& name) {
    std::string lower = asciiLower(name);
    if (endsWith(lower, ".zip")) return Installer::Format::zip;
    if (endsWith(lower, ".dmg")) return Installer::Format::dmg;
    if (endsWith(lower, ".tar.gz") || endsWith(lower, ".tgz")) return Installer::Format::targz;
    if (endsWith(lower, ".tbz") || endsWith(lower, ".tar.bz2")) return Installer::Format::tbz;
    if (endsWith(lower, ".pkg")) return Installer::Format::pkg;
    return Installer::Format::unknown;
}

// Where an entry really is, links followed; nothing for a broken link or an unreadable path.
std::optional<fs::path> resolved(const fs::path& p) {
    std::error_code ec;
    fs::path real = fs::canonical(p, ec);
    if (ec) return std::nullopt;
    return real;
}

// Strictly below `root` (both already canonical).
bool liesInside(const fs::path& candidate, const fs::path& root) {
    const std::string& c = candidate.native();
    std::string r = root.native();
    if (r.empty() || r.back() != '/') r += '/';
    return c.size() > r.size() && c.compare(0, r.size(), r) == 0;
}

// The direct, non-hidden entries of a folder in listing order; nothing when it cannot be listed.
std::vector<fs::path> listEntries(const fs::path& folder) {
    std::vector<fs::path> entries;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return entries;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const fs::path& p = it->path();
        if (p.filename().native().starts_with('.')) continue;
        entries.push_back(p);
    }
    return entries;
}

// Entries whose name passes `keep` and that resolve to a place inside `within`. An archive or image
// is foreign input: a link named "Evil.app" may point anywhere on the machine.
template <class Keep> std::vector<Url> shallowMatching(const Url& folder, const Url& within, Keep keep) {
    std::vector<Url> found;
    auto root = resolved(within.filePath());
    if (!root) return found;
    for (const auto& entry : listEntries(folder.filePath())) {
        if (!keep(entry.filename().native())) continue;
        auto real = resolved(entry);
        if (!real || !liesInside(*real, *root)) continue;
        found.push_back(Url::fromFilePath(entry.native()));
    }
    return found;
}

// The "system-entities" dictionaries of `hdiutil attach -plist` output; nothing when it does not parse.
std::optional<std::vector<const platform::PlistValue*>> systemEntities(const platform::PlistValue& root) {
    const auto* entities = root.find("system-entities");
    if (entities == nullptr || !entities->isArray()) return std::nullopt;
    std::vector<const platform::PlistValue*> out;
    for (const auto& entity : *entities->array()) {
        if (entity.isDictionary()) out.push_back(&entity);
    }
    return out;
}

std::optional<std::string> firstNonEmptyString(const std::string& hdiutilPlist, const std::string& key) {
    try {
        auto root = platform::PlistValue::parse(hdiutilPlist);
        if (!root.isDictionary()) return std::nullopt;
        auto entities = systemEntities(root);
        if (!entities) return std::nullopt;
        for (const auto* entity : *entities) {
            auto value = entity->stringForKey(key);
            if (value && !value->empty()) return value;
        }
    } catch (const std::exception&) {
        // Unparsable output has no entities.
    }
    return std::nullopt;
}

// An image with a licence agreement shows it and asks "Agree Y/N?"; with no answer on standard input
// hdiutil cancels the attach. The prompt is missing from the output when the licence text is not
// UTF-8 (the whole stream is then dropped), so the cancellation counts on its own too.
bool asksForLicence(const ProcResult& attach) {
    return attach.stdout.find("Agree Y/N?") != std::string::npos ||
           attach.stderr.find("attach canceled") != std::string::npos;
}

// True when the detach ended well. Best effort: the outcome of the extraction is what the caller
// needs.
bool detachQuietly(const std::string& hdiutil, const std::string& target) noexcept {
    try {
        return Proc::run(hdiutil, {"detach", "-force", target}, kDetachTimeout).ok();
    } catch (...) {
        return false;
    }
}

// The same file, also when one of the two names goes through a link (hdiutil reports resolved paths).
bool sameFile(const std::string& a, const std::string& b) {
    if (a == b) return true;
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

// What detaches an attached image: its whole-disk device (the shortest "dev-entry"), else a
// mount point.
std::optional<std::string> detachTarget(const platform::PlistValue& image) {
    std::optional<std::string> device, mountPoint;
    const auto* entities = image.find("system-entities");
    if (entities == nullptr || !entities->isArray()) return std::nullopt;
    for (const auto& entity : *entities->array()) {
        if (auto dev = entity.stringForKey("dev-entry"); dev && !dev->empty()) {
            if (!device || dev->size() < device->size()) device = dev;
        }
        if (auto mount = entity.stringForKey("mount-point"); mount && !mount->empty() && !mountPoint)
            mountPoint = mount;
    }
    return device ? device : mountPoint;
}

} // namespace

std::string_view rawValue(Installer::Format v) {
    return kFormatRaw[static_cast<size_t>(v)];
}

template <> std::optional<Installer::Format> fromRawValue<Installer::Format>(std::string_view raw) {
    for (size_t i = 0; i < kFormatRaw.size(); ++i) {
        if (kFormatRaw[i] == raw) return static_cast<Installer::Format>(i);
    }
    return std::nullopt;
}

// ---- Pre-flight ----

std::optional<PelError> Installer::preflight(const InstalledApp& app,
                                             std::optional<std::int64_t> expectedDownloadBytes) {
    return preflight(app, expectedDownloadBytes, platform::Workspace::shared(),
                     [](const Url& folder) { return Installer::freeBytes(folder); });
}

std::optional<PelError> Installer::preflight(const InstalledApp& app,
                                             std::optional<std::int64_t> expectedDownloadBytes,
                                             const platform::Workspace& workspace,
                                             const FreeBytesQuery& freeBytes) {
    for (const auto& running : workspace.runningApplications()) {
        if (running.bundleIdentifier == app.bundleID) {
            return PelError(ErrorCode::ENV_APP_RUNNING, app.bundleID, std::nullopt,
                            app.name + " is running — quit before update", false);
        }
    }
    if (!expectedDownloadBytes) return std::nullopt;
    auto free = freeBytes(Url::fromFilePath(parentFolder(app.path)));
    if (!free) return std::nullopt;
    // Unpacking and staging need room for about three copies. A size too large to triple saturates,
    // so an absurd advertised size fails as too little space instead of wrapping around.
    std::int64_t need = 0;
    bool tooLarge = false;
    if (__builtin_mul_overflow(*expectedDownloadBytes, std::int64_t{3}, &need)) {
        tooLarge = *expectedDownloadBytes > 0;
        need = tooLarge ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    }
    if (tooLarge || *free < need) {
        return PelError(ErrorCode::ENV_DISK_FULL, app.bundleID, std::nullopt,
                        fmt::format("need ~{} bytes free, have {}", need, *free), false);
    }
    return std::nullopt;
}

std::optional<std::int64_t> Installer::freeBytes(const Url& folder) {
    return platform::freeBytes(folder.filePath());
}

// ---- Format detection ----

Installer::Format Installer::detectFormat(const Url& file) {
    if (auto byContent = formatFromContent(file.filePath())) return *byContent;
    return formatFromName(file.lastPathComponent());
}

// ---- Extraction ----

Url Installer::extract(const Url& archive, const Url& tempDir) {
    return extract(archive, tempDir, [](const Url& folder) { return Installer::freeBytes(folder); });
}

Url Installer::extract(const Url& archive, const Url& tempDir, const FreeBytesQuery& freeBytes) {
    platform::createDirectories(tempDir.filePath(), 0700);
    const std::string archivePath = archive.filePath();
    const std::string destination = tempDir.filePath();
    const Format format = detectFormat(archive);
    // A small download may unpack to far more than the pre-flight's three copies of it.
    if (auto expanded = expandedSize(archive, format)) {
        if (auto free = freeBytes(tempDir); free && *free < *expanded) {
            throw installError(ErrorCode::ENV_DISK_FULL,
                               fmt::format("need ~{} bytes free, have {}", *expanded, *free));
        }
    }
    switch (format) {
    case Format::zip: {
        auto ditto = requireTool("ditto");
        auto r = Proc::run(ditto, {"-x", "-k", "--sequesterRsrc", archivePath, destination}, kDittoTimeout);
        if (!r.ok()) throw installError(ErrorCode::UNS_ARCHIVE_FORMAT, "ditto failed: " + r.stderr);
        break;
    }
    case Format::targz:
    case Format::tbz: {
        auto tar = requireTool("tar");
        auto r = Proc::run(tar, {"-xf", archivePath, "-C", destination}, kTarTimeout);
        if (!r.ok()) throw installError(ErrorCode::UNS_ARCHIVE_FORMAT, "tar failed: " + r.stderr);
        break;
    }
    case Format::dmg:
        extractDMG(archive, tempDir);
        break;
    case Format::pkg:
        throw installError(ErrorCode::UNS_PKG, "pkg installer — use installPkg() path");
    case Format::unknown:
        throw installError(ErrorCode::UNS_ARCHIVE_FORMAT,
                           "unknown archive format: " + archive.lastPathComponent());
    }
    return findApp(tempDir);
}

void Installer::extractDMG(const Url& archive, const Url& into) {
    const std::string hdiutil = requireTool("hdiutil");
    // Kept until the image is known to be detached, for a later sweep to find it.
    leftovers::AttachRecord record(archive.filePath());
    ProcResult attach;
    try {
        attach = Proc::run(hdiutil,
                           {"attach", "-nobrowse", "-readonly", "-noverify", "-mountrandom", "/tmp", "-plist",
                            archive.filePath()},
                           kAttachTimeout);
    } catch (...) {
        // A stopped attach may have attached the image all the same.
        if (detachImagesOf(archive.filePath())) record.release();
        throw;
    }
    if (!attach.ok()) {
        record.release();
        if (asksForLicence(attach))
            throw installError(ErrorCode::ENV_MOUNT_FAILED,
                               "hdiutil attach: the disk image asks for a licence to be accepted; " +
                                   attach.stderr);
        throw installError(ErrorCode::ENV_MOUNT_FAILED, "hdiutil attach: " + attach.stderr);
    }

    auto mountPoint = parseMountPoint(attach.stdout);
    if (!mountPoint) {
        // The image may still be attached without a volume we can name; left alone, every retry
        // would attach one more copy.
        auto device = firstNonEmptyString(attach.stdout, "dev-entry");
        if (!device || detachQuietly(hdiutil, *device)) record.release();
        throw installError(ErrorCode::ENV_MOUNT_FAILED, "could not parse mount point from hdiutil output");
    }
    platform::ScopeGuard detach([&] {
        if (detachQuietly(hdiutil, *mountPoint)) record.release();
    });

    const Url volume = Url::fromFilePath(*mountPoint);
    auto apps = shallowApps(volume, volume);
    auto pkgs = shallowPkgs(volume, volume);
    std::optional<Url> item;
    if (!apps.empty()) {
        item = apps.front();
    } else if (!pkgs.empty()) {
        item = pkgs.front();
    } else {
        throw installError(ErrorCode::UNS_ARCHIVE_FORMAT, "no .app or .pkg in DMG");
    }

    const std::string ditto = requireTool("ditto");
    // Copy what the entry resolves to, so a link inside the volume does not dangle once it is detached.
    auto source = resolved(item->filePath());
    if (!source) throw installError(ErrorCode::UNS_ARCHIVE_FORMAT, "no .app or .pkg in DMG");
    const std::string target = (fs::path(into.filePath()) / item->lastPathComponent()).native();
    auto copy = Proc::run(ditto, {source->native(), target}, kDittoTimeout);
    if (!copy.ok()) throw installError(ErrorCode::INT_UNEXPECTED, "ditto from dmg failed: " + copy.stderr);
}

bool Installer::detachImagesOf(const std::string& imagePath) {
    const auto hdiutil = Proc::which("hdiutil");
    if (!hdiutil) return false;
    try {
        const auto info = Proc::run(*hdiutil, {"info", "-plist"}, kInfoTimeout);
        if (!info.ok()) return false;
        const auto root = platform::PlistValue::parse(info.stdout);
        const auto* images = root.find("images");
        if (images == nullptr) return true; // nothing attached at all
        if (!images->isArray()) return false;
        bool detached = true;
        for (const auto& image : *images->array()) {
            const auto path = image.stringForKey("image-path");
            if (!path || !sameFile(*path, imagePath)) continue;
            const auto target = detachTarget(image);
            if (!target || !detachQuietly(*hdiutil, *target)) detached = false;
        }
        return detached;
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<std::string> Installer::parseMountPoint(const std::string& hdiutilPlist) {
    return firstNonEmptyString(hdiutilPlist, "mount-point");
}

// ---- Finding the payload ----

Url Installer::findApp(const Url& folder) {
    if (auto apps = shallowApps(folder, folder); !apps.empty()) return apps.front();
    if (auto pkgs = shallowPkgs(folder, folder); !pkgs.empty()) return pkgs.front();
    if (auto root = resolved(folder.filePath())) {
        for (const auto& entry : listEntries(folder.filePath())) {
            // A link to a folder counts as a folder, but only one that stays inside the destination.
            auto real = resolved(entry);
            std::error_code ec;
            if (!real || !liesInside(*real, *root) || !fs::is_directory(*real, ec)) continue;
            const Url sub = Url::fromFilePath(entry.native());
            if (auto apps = shallowApps(sub, folder); !apps.empty()) return apps.front();
            if (auto pkgs = shallowPkgs(sub, folder); !pkgs.empty()) return pkgs.front();
        }
    }
    throw installError(ErrorCode::UNS_ARCHIVE_FORMAT, "no .app or .pkg found in extracted archive");
}

std::vector<Url> Installer::shallowApps(const Url& folder) {
    return shallowApps(folder, folder);
}

std::vector<Url> Installer::shallowApps(const Url& folder, const Url& within) {
    return shallowMatching(folder, within,
                           [](const std::string& name) { return pathExtension(name) == "app"; });
}

std::vector<Url> Installer::shallowPkgs(const Url& folder) {
    return shallowPkgs(folder, folder);
}

std::vector<Url> Installer::shallowPkgs(const Url& folder, const Url& within) {
    return shallowMatching(folder, within,
                           [](const std::string& name) { return asciiLower(pathExtension(name)) == "pkg"; });
}

} // namespace pelkit
