#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {

// Swaps the two paths in one atomic step: afterwards each name holds what the other held. Both
// must exist on the same file system. Linux: renameat2(RENAME_EXCHANGE); macOS would use
// renamex_np(RENAME_SWAP). A failure changes nothing and is thrown as
// std::filesystem::filesystem_error (a std::system_error) carrying errno in the generic category;
// a file system without the operation answers EINVAL (ENOTSUP or ENOSYS elsewhere).
void exchangePaths(const std::filesystem::path& a, const std::filesystem::path& b);

// True for the errors by which a file system says it cannot exchange at all (EINVAL, ENOTSUP,
// ENOSYS), so a caller may fall back to two renames.
bool isExchangeUnsupported(int errnoValue);

// The moving and removing calls of a bundle swap and its rollback, behind one object so tests can
// make any one of them fail. Every failure is a std::filesystem::filesystem_error carrying errno.
// Safe to use from several threads; the call count is shared.
class FileOps {
public:
    enum class Op { exchange, rename, remove };

    struct Call {
        Op op;
        std::filesystem::path first;  // exchange: a; rename: from; remove: the path
        std::filesystem::path second; // exchange: b; rename: to; remove: empty
        int number = 0;               // order among the calls of this object, from 1
    };

    // Asked before each call runs; an errno it returns fails the call with that error instead.
    using FaultHook = std::function<std::optional<int>(const Call& call)>;

    FileOps() = default;
    explicit FileOps(FaultHook hook) : hook_(std::move(hook)) {}
    FileOps(const FileOps&) = delete;
    FileOps& operator=(const FileOps&) = delete;

    // exchangePaths(a, b).
    void exchange(const std::filesystem::path& a, const std::filesystem::path& b);
    // rename(2): never replaces a non-empty folder; fails with EXDEV across file systems.
    void rename(const std::filesystem::path& from, const std::filesystem::path& to);
    // Removes the item and everything below it; a missing item is no error.
    void remove(const std::filesystem::path& path);

    // Every call made so far, failed ones included, in order.
    std::vector<Call> calls() const;

    // Hooks for tests.
    // Fails each call of `op` whose first or second path is `path`.
    static FaultHook failOnPath(Op op, std::filesystem::path path, int errnoValue);
    // Fails the n-th call (from 1), whatever it is.
    static FaultHook failCall(int n, int errnoValue);
    // Fails the n-th call of `op` (from 1).
    static FaultHook failNthOf(Op op, int n, int errnoValue);
    // Fails a call when any of the hooks would.
    static FaultHook anyOf(std::vector<FaultHook> hooks);

private:
    // Records the call and returns the injected errno, if any.
    std::optional<int> begin(Op op, const std::filesystem::path& first, const std::filesystem::path& second);

    FaultHook hook_;
    mutable std::mutex lock_; // guards calls_
    std::vector<Call> calls_;
};

} // namespace platform
