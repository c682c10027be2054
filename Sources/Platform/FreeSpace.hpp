#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Bytes available to the user on the volume holding `path` (on macOS: the volume's available capacity
// for important usage; here statvfs's f_bavail × f_frsize). Nothing when the path is missing, the
// query fails or the product does not fit in 64 signed bits.
std::optional<std::int64_t> freeBytes(const std::string& path);

} // namespace platform
