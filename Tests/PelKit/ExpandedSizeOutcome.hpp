#pragma once

// What the expanded-size reader makes of one file, as a text a table of cases can compare.

#include "PelKit/Installer.hpp"
#include "PelKit/Models.hpp"

#include <filesystem>
#include <string>

namespace expandedsize {

inline pelkit::Url fileUrl(const std::filesystem::path& p) {
    return pelkit::Url::fromFilePath(p.string());
}

// The size found, "none", or the code and message of the refusal.
inline std::string outcome(const std::filesystem::path& file, pelkit::Installer::Format format) {
    try {
        const auto size = pelkit::Installer::expandedSize(fileUrl(file), format);
        return size ? std::to_string(*size) : "none";
    } catch (const pelkit::PelError& e) {
        return std::string(pelkit::rawValue(e.code())) + " " + e.message();
    }
}

inline std::string unreadable(const std::string& reason) {
    return "UNS_ARCHIVE_FORMAT cannot read the archive's listing: " + reason;
}

} // namespace expandedsize
