#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

// File helpers shared by every unit that stores something on disk.
// Failures are thrown as std::filesystem::filesystem_error carrying the system's errno
// (std::generic_category), so callers see the file system's own error, unchanged.
namespace platform {

// Creates `dir` and each missing parent with exactly `mode` (the umask does not apply).
// Components that already exist are left alone (never chmod-ed); an existing directory, or a
// symbolic link to one, is no error, also when another thread or process creates it meanwhile.
// Something else in the way (a regular file) fails with mkdir's error, e.g. EEXIST or ENOTDIR.
void createDirectories(const std::filesystem::path& dir, mode_t mode = 0700);

// Replaces `target` with `data` so that a reader sees either the old or the new file, whole:
// writes a temporary file in the same folder, flushes it to disk (fsync), then renames it over
// the target. The folder must exist. A failure at any step leaves the old file as it was and
// removes the temporary file. A new file gets `newFileMode`; a replaced file keeps its mode.
void atomicWrite(const std::filesystem::path& target, std::string_view data, mode_t newFileMode = 0644);

// The whole content of a file. Throws filesystem_error (ENOENT, EISDIR, ...).
std::string readFile(const std::filesystem::path& file);

// A filesystem_error for `errnoValue` about `path`; what() reads
// "filesystem error: <what>: <strerror> [<path>]".
std::filesystem::filesystem_error fileError(const std::string& what, const std::filesystem::path& path,
                                            int errnoValue);

namespace testing {
// Asked by atomicWrite for each target; an errno it returns makes the write stop half-way through the
// data and fail with that error, as a full disk would. Process-wide; an empty hook removes it.
using WriteFaultHook = std::function<std::optional<int>(const std::filesystem::path& target)>;
void setAtomicWriteFault(WriteFaultHook hook);
} // namespace testing

// Runs a callable when the scope ends, unless dismissed.
template <class F> class ScopeGuard {
public:
    explicit ScopeGuard(F f) : f_(std::move(f)) {}
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;
    ~ScopeGuard() {
        if (active_) f_();
    }
    void dismiss() { active_ = false; }

private:
    F f_;
    bool active_ = true;
};

} // namespace platform
