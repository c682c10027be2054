#include "Tally/HostInfo.hpp"

namespace tally {

std::optional<std::string> localeIdentifierFromPosix(const std::string& name) {
    std::string identifier = name.substr(0, name.find_first_of(".@"));
    if (identifier.empty() || identifier == "C" || identifier == "POSIX") return std::nullopt;
    return identifier;
}

HostInfo linuxHostInfo(const EnvironmentLookupFn& environment) {
    HostInfo info;
    info.systemVersion = platform::runningSystemVersion();

    // The first variable that is set and not empty decides, as in the C library's lookup.
    std::optional<std::string> identifier;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        auto value = environment(variable);
        if (!value || value->empty()) continue;
        identifier = localeIdentifierFromPosix(*value);
        break;
    }
    info.localeIdentifier = identifier.value_or("en_US");
    const std::string& locale = *info.localeIdentifier;
    const auto separator = locale.find_first_of("_-");
    info.languageCode = locale.substr(0, separator);
    if (separator != std::string::npos && separator + 1 < locale.size()) {
        info.regionCode = locale.substr(separator + 1);
    }

    if (auto languages = environment("LANGUAGE"); languages && !languages->empty()) {
        std::size_t start = 0;
        while (start <= languages->size()) {
            const auto end = std::min(languages->find(':', start), languages->size());
            if (end > start) info.preferredLanguages.push_back(languages->substr(start, end - start));
            start = end + 1;
        }
    }
    if (info.preferredLanguages.empty()) info.preferredLanguages.push_back(*info.languageCode);
    return info;
}

} // namespace tally
