#include "PelKit/Downloads.hpp"

#include "PelKit/Config.hpp"
#include "PelKit/Leftovers.hpp"
#include "PelKit/Verifier.hpp"
#include "Platform/Files.hpp"
#include "Platform/Sha256.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <vector>

namespace pelkit {
namespace fs = std::filesystem;

namespace {

std::mutex& hookMutex() {
    static std::mutex m;
    return m;
}

testing::StoreWriteHook& hookSlot() {
    static testing::StoreWriteHook hook;
    return hook;
}

testing::StoreWriteHook currentHook() {
    std::lock_guard lock(hookMutex());
    return hookSlot();
}

std::string replaceAll(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (true) {
        std::size_t hit = text.find(from, pos);
        if (hit == std::string_view::npos) break;
        out.append(text.substr(pos, hit - pos));
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text.substr(pos));
    return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](unsigned char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
        };
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

platform::TimePoint modificationTime(const struct stat& st) {
    auto since = std::chrono::seconds{st.st_mtim.tv_sec} + std::chrono::nanoseconds{st.st_mtim.tv_nsec};
    return platform::TimePoint{std::chrono::duration_cast<platform::TimePoint::duration>(since)};
}

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { closeQuietly(); }
    void closeQuietly() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

void writeAll(int fd, const char* data, std::size_t size, const fs::path& file) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw platform::fileError("write", file, errno);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// Streams `source` into the already open `out`, then flushes it to disk.
void copyInto(const fs::path& source, int out, const fs::path& temp) {
    Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.fd < 0) throw platform::fileError("open", source, errno);
    struct stat st {};
    if (::fstat(in.fd, &st) != 0) throw platform::fileError("read attributes", source, errno);
    if (S_ISDIR(st.st_mode)) throw platform::fileError("read", source, EISDIR);
    if (::fchmod(out, st.st_mode & 0777) != 0) throw platform::fileError("set file mode", temp, errno);

    const testing::StoreWriteHook hook = currentHook();
    std::vector<char> buffer(256 * 1024);
    std::int64_t written = 0;
    for (;;) {
        ssize_t n = ::read(in.fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw platform::fileError("read", source, errno);
        }
        if (n == 0) break;
        writeAll(out, buffer.data(), static_cast<std::size_t>(n), temp);
        written += n;
        if (hook) hook(written);
    }
    if (::fsync(out) != 0) throw platform::fileError("flush", temp, errno);
}

} // namespace

namespace testing {
void setStoreWriteHook(StoreWriteHook hook) {
    std::lock_guard lock(hookMutex());
    hookSlot() = std::move(hook);
}
} // namespace testing

Url DownloadCache::root() {
    return Url::fromFilePath(PelPaths::cacheDir().filePath() + "downloads/");
}

namespace {
// "/" and NUL are the two bytes a path component cannot hold: a NUL would end the path there,
// so "..%00" from a feed would still address the folder above.
std::string withoutSeparators(std::string_view text) {
    return replaceAll(replaceAll(text, "/", "_"), std::string_view("\0", 1), "_");
}
} // namespace

std::string DownloadCache::sanitizedComponent(std::string_view text) {
    std::string component = replaceAll(withoutSeparators(text), "..", "_");
    // "" and "." name no folder of their own: the file below would land one level up, where
    // evicting it removes a whole version folder.
    if (component.empty() || component == ".") return "unknown";
    return component;
}

std::string DownloadCache::sanitizedFileName(std::string_view filename) {
    std::string name = withoutSeparators(filename);
    if (name.empty() || name == "." || name == "..") return "download.bin";
    return name;
}

Url DownloadCache::path(const std::string& bundleID, const std::string& version,
                        const std::string& filename) {
    return Url::fromFilePath(root().filePath() + sanitizedComponent(bundleID) + "/" +
                             sanitizedComponent(version) + "/" + sanitizedFileName(filename));
}

std::optional<Url> DownloadCache::lookup(const std::string& bundleID, const std::string& version,
                                         const std::string& filename,
                                         const std::optional<std::string>& expectedSHA256,
                                         std::optional<std::int64_t> expectedSize,
                                         const platform::Clock& clock) {
    try {
        const Url url = path(bundleID, version, filename);
        const std::string file = url.filePath();
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0) return std::nullopt; // nothing there (or unreachable)
        const bool regularFile = S_ISREG(st.st_mode);

        if (expectedSHA256) {
            std::string digest;
            try {
                digest = platform::sha256HexOfFile(file);
            } catch (const std::exception&) {
                return std::nullopt; // unreadable (a folder, say): leave it alone
            }
            if (equalsIgnoringCase(digest, *expectedSHA256)) return url;
            std::error_code ec;
            fs::remove(file, ec);
            return std::nullopt;
        }

        // Only a file can be used as a download; a folder at the key stays for `store` to replace.
        if (!regularFile) return std::nullopt;

        if (expectedSize) {
            if (Verifier::sizeMatches(static_cast<std::int64_t>(st.st_size), *expectedSize)) return url;
            return std::nullopt;
        }

        const auto age = clock.now() - modificationTime(st);
        if (age < std::chrono::seconds{86400}) return url;
        return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

Url DownloadCache::store(const Url& from, const std::string& bundleID, const std::string& version,
                         const std::string& filename) {
    const Url url = path(bundleID, version, filename);
    const fs::path destination = url.filePath();
    const fs::path folder = destination.parent_path();
    platform::createDirectories(folder, 0700);

    std::string pattern = (folder / ".pel-store-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    Fd out(::mkstemp(name.data()));
    if (out.fd < 0) throw platform::fileError("create temporary file", fs::path(pattern), errno);
    const fs::path temp(name.data());
    const leftovers::InUse tempInUse(temp);
    bool renamed = false;
    platform::ScopeGuard cleanup([&] {
        out.closeQuietly();
        if (!renamed) ::unlink(temp.c_str());
    });

    copyInto(from.filePath(), out.fd, temp);
    int closing = out.fd;
    out.fd = -1;
    if (::close(closing) != 0) throw platform::fileError("close", temp, errno);

    // rename cannot replace a folder with a file; a folder standing at the key is stale.
    struct stat st {};
    if (::lstat(destination.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::error_code ec;
        fs::remove_all(destination, ec);
        if (ec) throw fs::filesystem_error("remove", destination, ec);
    }
    if (::rename(temp.c_str(), destination.c_str()) != 0)
        throw platform::fileError("replace", destination, errno);
    renamed = true;
    return url;
}

void DownloadCache::evict(const std::string& bundleID, const std::string& version,
                          const std::string& filename) {
    try {
        std::error_code ec;
        fs::remove_all(fs::path(path(bundleID, version, filename).filePath()), ec);
    } catch (...) {
    }
}

void DownloadCache::prune(std::int64_t maxBytes) {
    struct Entry {
        fs::path url;
        std::int64_t size;
        platform::TimePoint mtime;
    };
    try {
        std::vector<Entry> entries;
        {
            std::error_code ec;
            fs::recursive_directory_iterator it(fs::path(root().filePath()), ec);
            if (ec) return;
            for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
                if (ec) return;
                struct stat st {};
                if (::lstat(it->path().c_str(), &st) != 0) continue;
                entries.push_back({it->path(), static_cast<std::int64_t>(st.st_size), modificationTime(st)});
            }
            if (ec) return;
        }

        std::int64_t total = 0;
        for (const auto& e : entries)
            total += e.size;
        if (total <= maxBytes) return;

        std::stable_sort(entries.begin(), entries.end(),
                         [](const Entry& a, const Entry& b) { return a.mtime < b.mtime; });
        for (const auto& e : entries) {
            std::error_code ec;
            fs::remove_all(e.url, ec);
            total -= e.size;
            if (total <= maxBytes) return;
        }
    } catch (...) {
    }
}

} // namespace pelkit
