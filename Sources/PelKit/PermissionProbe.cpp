#include "PelKit/PermissionProbe.hpp"

#include "Platform/Unicode.hpp"

#include <array>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelkit {

namespace {

constexpr std::array<std::string_view, 3> kStatusRaw{"granted", "denied", "unknown"};
constexpr std::string_view kProductName = "Pelloran";

// An empty needle matches nothing: an empty bundle identifier must not pass over every entry.
bool containsIgnoringCase(const std::string& loweredHaystack, std::string_view needle) {
    if (needle.empty()) return false;
    return loweredHaystack.find(platform::unicode::toLowerNFC(needle)) != std::string::npos;
}

} // namespace

std::string_view rawValue(PermissionStatus v) {
    return kStatusRaw[static_cast<std::size_t>(v)];
}

template <> std::optional<PermissionStatus> fromRawValue<PermissionStatus>(std::string_view raw) {
    for (std::size_t i = 0; i < kStatusRaw.size(); ++i) {
        if (kStatusRaw[i] == raw) return static_cast<PermissionStatus>(i);
    }
    return std::nullopt;
}

int PermissionProbe::openForWriting(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

PermissionStatus PermissionProbe::appManagementGranted(const std::optional<std::string>& ownBundleID) {
    return appManagementGranted(ownBundleID, std::string(kApplicationsRoot));
}

PermissionStatus PermissionProbe::appManagementGranted(const std::optional<std::string>& ownBundleID,
                                                       const std::string& applicationsRoot,
                                                       const OpenProbe& openProbe) {
    namespace fs = std::filesystem;

    // The whole listing first, in the order it comes: a listing that fails part-way is no listing.
    std::vector<std::string> names;
    {
        std::error_code ec;
        fs::directory_iterator it(applicationsRoot, ec);
        if (ec) return PermissionStatus::unknown;
        for (; it != fs::directory_iterator(); it.increment(ec)) {
            if (ec) return PermissionStatus::unknown;
            names.push_back(it->path().filename().string());
        }
        if (ec) return PermissionStatus::unknown;
    }

    for (const auto& name : names) {
        if (fs::path(name).extension() != ".app") continue;
        if (ownBundleID) {
            const auto haystack = platform::unicode::toLowerNFC(name);
            if (containsIgnoringCase(haystack, kProductName) || containsIgnoringCase(haystack, *ownBundleID))
                continue;
        }
        std::string probe = applicationsRoot;
        if (probe.empty() || probe.back() != '/') probe.push_back('/');
        probe += name;
        probe += "/Contents/Info.plist";
        struct stat st;
        if (::stat(probe.c_str(), &st) != 0) continue;

        int err = openProbe(probe);
        if (err == 0) return PermissionStatus::granted;
        if (err == EPERM) return PermissionStatus::denied;
    }
    return PermissionStatus::unknown;
}

} // namespace pelkit
