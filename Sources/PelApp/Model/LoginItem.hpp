#pragma once

#include <filesystem>
#include <memory>

namespace pelapp {

// The status of the application's own login item.
enum class LoginItemStatus { enabled, notRegistered, requiresApproval, notFound };

// Whether the application starts when the user logs in. Registering and unregistering throw what
// the system refuses with.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    virtual LoginItemStatus status() const = 0;
    virtual void registerItem() = 0;
    virtual void unregisterItem() = 0;
};

// The main application's login item. On macOS it is the system's service for the main application
// (MainAppLoginItem, written in Objective-C++ beside this file); elsewhere the stand-in below over
// a file of the state folder.
std::unique_ptr<LoginItem> mainAppLoginItem();

// A login item that only remembers its state in `file`: nothing is started at login (an autostart
// entry under the home folder would be a write outside the application's own folders).
class FileLoginItem final : public LoginItem {
public:
    explicit FileLoginItem(std::filesystem::path file) : file_(std::move(file)) {}

    // enabled while the file exists, else not registered.
    LoginItemStatus status() const override;
    // Writes the file (creating the state folder); a failure is thrown.
    void registerItem() override;
    // Removes the file; a missing file is no failure.
    void unregisterItem() override;

    const std::filesystem::path& file() const { return file_; }

private:
    std::filesystem::path file_;
};

} // namespace pelapp
