#include "PelApp/Views/SettingsPanes.hpp"

#include "PelApp/Model/AppModel.hpp"

namespace pelapp {

platform::Url settingsPaneUrl(std::string_view pane, std::string_view anchor) {
    std::string text;
    text.append(kSettingsScheme).append(":").append(pane).append("?").append(anchor);
    // Only constant panes and anchors come here, so the text always parses.
    return *platform::Url::parse(text);
}

platform::Url appManagementSettingsUrl() {
    return permissionItemUrl(kPermissionItems.front());
}

platform::Url permissionItemUrl(const PermissionItem& item) {
    if (item.ownNotifications) return settingsPaneUrl(item.pane, std::string("id=").append(kOwnBundleID));
    return settingsPaneUrl(item.pane, item.anchor);
}

} // namespace pelapp
