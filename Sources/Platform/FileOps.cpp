#include "Platform/FileOps.hpp"

#include "Platform/Files.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <system_error>

#if defined(__APPLE__)
#include <sys/stdio.h>
#endif

namespace platform {
namespace fs = std::filesystem;

namespace {

fs::filesystem_error twoPathError(const std::string& what, const fs::path& a, const fs::path& b, int err) {
    return fs::filesystem_error(what, a, b, std::error_code(err, std::generic_category()));
}

} // namespace

void exchangePaths(const fs::path& a, const fs::path& b) {
#if defined(__APPLE__)
    const int rc = ::renamex_np(a.c_str(), b.c_str(), RENAME_SWAP);
#else
    const int rc = ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
#endif
    if (rc != 0) throw twoPathError("exchange paths", a, b, errno);
}

bool isExchangeUnsupported(int errnoValue) {
    return errnoValue == EINVAL || errnoValue == ENOTSUP || errnoValue == EOPNOTSUPP || errnoValue == ENOSYS;
}

std::optional<int> FileOps::begin(Op op, const fs::path& first, const fs::path& second) {
    Call call{op, first, second, 0};
    {
        std::lock_guard guard(lock_);
        call.number = static_cast<int>(calls_.size()) + 1;
        calls_.push_back(call);
    }
    if (!hook_) return std::nullopt;
    return hook_(call);
}

void FileOps::exchange(const fs::path& a, const fs::path& b) {
    if (auto err = begin(Op::exchange, a, b)) throw twoPathError("exchange paths", a, b, *err);
    exchangePaths(a, b);
}

void FileOps::rename(const fs::path& from, const fs::path& to) {
    if (auto err = begin(Op::rename, from, to)) throw twoPathError("rename", from, to, *err);
    if (::rename(from.c_str(), to.c_str()) != 0) throw twoPathError("rename", from, to, errno);
}

void FileOps::remove(const fs::path& path) {
    if (auto err = begin(Op::remove, path, {})) throw fileError("remove", path, *err);
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec) throw fs::filesystem_error("remove", path, ec);
}

std::vector<FileOps::Call> FileOps::calls() const {
    std::lock_guard guard(lock_);
    return calls_;
}

FileOps::FaultHook FileOps::failOnPath(Op op, fs::path path, int errnoValue) {
    return [op, path = std::move(path), errnoValue](const Call& call) -> std::optional<int> {
        if (call.op == op && (call.first == path || call.second == path)) return errnoValue;
        return std::nullopt;
    };
}

FileOps::FaultHook FileOps::failCall(int n, int errnoValue) {
    return [n, errnoValue](const Call& call) -> std::optional<int> {
        if (call.number == n) return errnoValue;
        return std::nullopt;
    };
}

FileOps::FaultHook FileOps::failNthOf(Op op, int n, int errnoValue) {
    auto seen = std::make_shared<std::atomic<int>>(0);
    return [op, n, errnoValue, seen](const Call& call) -> std::optional<int> {
        if (call.op != op) return std::nullopt;
        if (seen->fetch_add(1) + 1 == n) return errnoValue;
        return std::nullopt;
    };
}

FileOps::FaultHook FileOps::anyOf(std::vector<FaultHook> hooks) {
    return [hooks = std::move(hooks)](const Call& call) -> std::optional<int> {
        // Every hook sees every call, so counting hooks stay in step.
        std::optional<int> first;
        for (const auto& hook : hooks) {
            if (!hook) continue;
            auto err = hook(call);
            if (err && !first) first = err;
        }
        return first;
    };
}

} // namespace platform
