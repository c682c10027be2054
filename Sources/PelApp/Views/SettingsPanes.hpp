#pragma once

#include "Platform/Url.hpp"

#include <array>
#include <string>
#include <string_view>

namespace pelapp {

// The system-settings address scheme; a pane address is the scheme, ":", the pane, "?" and an anchor
// or query.
inline constexpr std::string_view kSettingsScheme = "x-apple.systempreferences";
inline constexpr std::string_view kSecurityPane = "com.apple.preference.security";
inline constexpr std::string_view kNotificationsPane = "com.apple.preference.notifications";

platform::Url settingsPaneUrl(std::string_view pane, std::string_view anchor);
// The App Management privacy pane (the Permissions menu's first item and the permission banner).
platform::Url appManagementSettingsUrl();

// One item of the Permissions menu; `divider` items have no pane. With `ownNotifications` the anchor is
// "id=" and our own bundle identifier (never the selected application's).
struct PermissionItem {
    std::string_view title;
    std::string_view objectName;
    std::string_view pane;
    std::string_view anchor;
    bool ownNotifications = false;
    bool divider = false;
};

inline constexpr std::array<PermissionItem, 7> kPermissionItems{{
    {"App Management…", "permissionAppManagement", kSecurityPane, "Privacy_AppBundles"},
    {"Full Disk Access…", "permissionFullDiskAccess", kSecurityPane, "Privacy_AllFiles"},
    {"", "", "", "", false, true},
    {"Notifications…", "permissionNotifications", kNotificationsPane, "", true},
    {"Automation…", "permissionAutomation", kSecurityPane, "Privacy_Automation"},
    {"Files & Folders…", "permissionFilesAndFolders", kSecurityPane, "Privacy_FilesAndFolders"},
    {"Accessibility…", "permissionAccessibility", kSecurityPane, "Privacy_Accessibility"},
}};

// The address a Permissions menu item opens.
platform::Url permissionItemUrl(const PermissionItem& item);

} // namespace pelapp
