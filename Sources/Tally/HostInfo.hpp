#pragma once

#include "Platform/Json.hpp"
#include "Platform/SystemVersion.hpp"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tally {

// The appearance the host's interface uses.
enum class Appearance { aqua, darkAqua, other };
enum class LayoutDirection { leftToRight, rightToLeft };

// The main screen's frame in points and its backing scale factor.
struct ScreenInfo {
    double height = 0;
    double width = 0;
    double scale = 1;
};

// What the host tells the client about itself and the machine, read on the main executor for every
// signal. Every value is optional; the default payload names the fallback of each one it leaves out.
struct HostInfo {
    std::optional<platform::SystemVersion> systemVersion;
    // The main bundle's "CFBundleShortVersionString", "CFBundleVersion" and the extension point of its
    // "NSExtension" dictionary.
    std::optional<std::string> shortVersion;
    std::optional<std::string> buildVersion;
    std::optional<std::string> extensionPointIdentifier;
    // Where the bundle's store receipt would be; the file need not exist.
    std::optional<std::string> receiptPath;
    // The machine's model identifier; absent falls back to uname's machine.
    std::optional<std::string> modelIdentifier;
    // Locale identifier ("de_CH"), its region ("CH") and its language ("de").
    std::optional<std::string> localeIdentifier;
    std::optional<std::string> regionCode;
    std::optional<std::string> languageCode;
    // The user's preferred languages, most preferred first.
    std::vector<std::string> preferredLanguages;
    std::optional<Appearance> appearance;
    std::optional<ScreenInfo> mainScreen;
    // Absent when there is no application object.
    std::optional<LayoutDirection> layoutDirection;
    // The universal-access preferences domain as a JSON object with its values as stored ("reduceMotion",
    // "InvertColors"); absent when the domain does not exist.
    std::optional<platform::Json> universalAccess;
};

using EnvironmentLookupFn = std::function<std::optional<std::string>(const std::string& name)>;

// The host information of a Linux process: the system version platform::runningSystemVersion() reports;
// locale from LC_ALL, LC_MESSAGES, then LANG (codeset and modifier cut; "C", "POSIX" or none give
// "en_US"), with its region and language; preferred languages from LANGUAGE (colon-separated), else the
// locale's language. Bundle values, model, appearance, screen, layout direction and the universal-access
// domain stay absent.
HostInfo linuxHostInfo(const EnvironmentLookupFn& environment);

// The POSIX locale name `name` as an identifier ("de_CH.UTF-8@euro" gives "de_CH"); absent for "C",
// "POSIX" and empty names.
std::optional<std::string> localeIdentifierFromPosix(const std::string& name);

} // namespace tally
