#pragma once

#include <optional>
#include <string>

namespace pelapp {

// What the application knows about its own build and where it runs from.
struct AppInfo {
    std::optional<std::string> shortVersion;
    std::optional<std::string> buildVersion;
    // The folder the application runs from.
    std::string bundlePath;

    // This build's versions (from the project version) and the running executable's folder.
    static AppInfo current();
};

} // namespace pelapp
