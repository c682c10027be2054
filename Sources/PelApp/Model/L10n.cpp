#include "PelApp/Model/L10n.hpp"

#include <fmt/format.h>

#include <map>

namespace pelapp::L10n {

namespace {

const std::map<std::string, std::string, std::less<>>& table() {
    static const auto* entries = new std::map<std::string, std::string, std::less<>>{
        {"app.name", "Pelloran"},
        {"toolbar.rescan", "Rescan"},
        {"settings.general", "General"},
        {"settings.updates", "Updates"},
        {"settings.advanced", "Advanced"},
        {"settings.about", "About"},
        {"settings.launchAtLogin", "Launch at login"},
        {"settings.sendFeedback", "Send Feedback…"},
        {"settings.privacyPolicy", "Privacy Policy"},
        {"settings.termsOfService", "Terms of Service"},
        {"settings.autoScan", "Scan automatically"},
        {"settings.openJournal", "Open Journal Folder"},
        {"settings.openCache", "Open Cache Folder"},
        {"settings.resetOverrides", "Reset Overrides"},
    };
    return *entries;
}

} // namespace

std::string text(std::string_view key) {
    const auto& entries = table();
    auto it = entries.find(key);
    return it == entries.end() ? std::string(key) : it->second;
}

std::string text(std::string_view key, std::initializer_list<long long> numbers) {
    static constexpr std::string_view kPlaceholder = "%lld";
    const std::string format = text(key);
    std::string out;
    auto next = numbers.begin();
    std::size_t pos = 0;
    while (pos < format.size()) {
        const std::size_t hit = format.find(kPlaceholder, pos);
        if (hit == std::string::npos || next == numbers.end()) {
            out.append(format, pos);
            break;
        }
        out.append(format, pos, hit - pos);
        out += fmt::format("{}", *next++);
        pos = hit + kPlaceholder.size();
    }
    return out;
}

std::string inserting(std::string_view key, std::string_view inserted) {
    std::string out = text(key);
    if (const auto at = out.find("%@"); at != std::string::npos) out.replace(at, 2, inserted);
    return out;
}

} // namespace pelapp::L10n
