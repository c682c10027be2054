#include "Platform/Files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

namespace platform {
namespace fs = std::filesystem;

fs::filesystem_error fileError(const std::string& what, const fs::path& path, int errnoValue) {
    return fs::filesystem_error(what, path, std::error_code(errnoValue, std::generic_category()));
}

namespace {

bool isDirectory(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Writes all of `data`, retrying short writes and interruptions.
bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::mutex writeFaultMutex;
testing::WriteFaultHook writeFaultHook; // guarded by writeFaultMutex

std::optional<int> injectedWriteFault(const fs::path& target) {
    testing::WriteFaultHook hook;
    {
        std::lock_guard lock(writeFaultMutex);
        hook = writeFaultHook;
    }
    return hook ? hook(target) : std::nullopt;
}

} // namespace

namespace testing {
void setAtomicWriteFault(WriteFaultHook hook) {
    std::lock_guard lock(writeFaultMutex);
    writeFaultHook = std::move(hook);
}
} // namespace testing

void createDirectories(const fs::path& dir, mode_t mode) {
    if (dir.empty()) throw fileError("create directory", dir, ENOENT);
    // Collect the prefixes from the top; walking downwards creates parents first.
    std::vector<fs::path> prefixes;
    fs::path current;
    for (const auto& part : dir.lexically_normal()) {
        if (part.empty()) continue; // the empty last element of a trailing slash
        current /= part;
        prefixes.push_back(current);
    }
    for (const auto& p : prefixes) {
        if (isDirectory(p)) continue;
        if (::mkdir(p.c_str(), mode) == 0) {
            // mkdir applies the umask; this directory is our own, so set the mode we promised.
            if (::chmod(p.c_str(), mode) != 0) throw fileError("set directory mode", p, errno);
            continue;
        }
        int err = errno;
        if (err == EEXIST && isDirectory(p)) continue; // created by someone else just now
        throw fileError("create directory", p, err);
    }
}

void atomicWrite(const fs::path& target, std::string_view data, mode_t newFileMode) {
    fs::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    std::string leaf = ".";
    leaf.append(target.filename().string()).append(".tmp-XXXXXX");
    std::string pattern = (folder / leaf).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');

    int fd = ::mkstemp(name.data());
    if (fd < 0) throw fileError("create temporary file", fs::path(pattern), errno);
    fs::path temp(name.data());
    bool done = false;
    ScopeGuard cleanup([&] {
        if (fd >= 0) ::close(fd);
        if (!done) ::unlink(temp.c_str());
    });

    mode_t mode = newFileMode;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
    if (::fchmod(fd, mode) != 0) throw fileError("set file mode", temp, errno);
    if (auto fault = injectedWriteFault(target)) {
        writeAll(fd, data.substr(0, data.size() / 2));
        throw fileError("write", temp, *fault);
    }
    if (!writeAll(fd, data)) throw fileError("write", temp, errno);
    if (::fsync(fd) != 0) throw fileError("flush", temp, errno);
    int closing = fd;
    fd = -1;
    if (::close(closing) != 0) throw fileError("close", temp, errno);
    if (::rename(temp.c_str(), target.c_str()) != 0) throw fileError("replace", target, errno);
    done = true;

    // Make the rename itself durable; a failure here does not undo the write.
    int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

std::string readFile(const fs::path& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw fileError("open", file, errno);
    ScopeGuard closer([fd] { ::close(fd); });
    std::string out;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw fileError("read", file, errno);
        }
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

} // namespace platform
