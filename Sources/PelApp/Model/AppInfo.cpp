#include "PelApp/Model/AppInfo.hpp"

#include "PelApp/Model/AppInfoBuild.hpp"

#include <filesystem>
#include <system_error>

namespace pelapp {

AppInfo AppInfo::current() {
    AppInfo info;
    info.shortVersion = PEL_APP_SHORT_VERSION;
    info.buildVersion = PEL_APP_BUILD_VERSION;
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    info.bundlePath = ec ? std::filesystem::current_path(ec).string() : exe.parent_path().string();
    return info;
}

} // namespace pelapp
