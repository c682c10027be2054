#include "Platform/FreeSpace.hpp"

#include <limits>
#include <sys/statvfs.h>

namespace platform {

std::optional<std::int64_t> freeBytes(const std::string& path) {
    struct statvfs st {};
    if (::statvfs(path.c_str(), &st) != 0) return std::nullopt;
    unsigned long long bytes = 0;
    if (__builtin_mul_overflow(static_cast<unsigned long long>(st.f_bavail),
                               static_cast<unsigned long long>(st.f_frsize), &bytes)) {
        return std::nullopt;
    }
    if (bytes > static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max()))
        return std::nullopt;
    return static_cast<std::int64_t>(bytes);
}

} // namespace platform
