#include "PelApp/Model/LoginItem.hpp"

#include "PelKit/Config.hpp"
#include "Platform/Files.hpp"

#include <system_error>

namespace pelapp {

namespace fs = std::filesystem;

LoginItemStatus FileLoginItem::status() const {
    std::error_code ec;
    return fs::is_regular_file(file_, ec) ? LoginItemStatus::enabled : LoginItemStatus::notRegistered;
}

void FileLoginItem::registerItem() {
    platform::createDirectories(file_.parent_path(), 0700);
    platform::atomicWrite(file_, "enabled\n", 0600);
}

void FileLoginItem::unregisterItem() {
    std::error_code ec;
    if (!fs::remove(file_, ec) && ec && ec != std::errc::no_such_file_or_directory)
        throw fs::filesystem_error("remove login item", file_, ec);
}

#if !defined(__APPLE__)
std::unique_ptr<LoginItem> mainAppLoginItem() {
    return std::make_unique<FileLoginItem>(fs::path(pelkit::PelPaths::stateDir().filePath()) / "login-item");
}
#endif

} // namespace pelapp
