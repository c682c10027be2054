#include "PelKit/BundleReader.hpp"

#include "PelKit/DB.hpp"
#include "PelKit/MachOHeader.hpp"
#include "PelKit/Proc.hpp"
#include "Platform/Plist.hpp"
#include "Platform/Unicode.hpp"

#include <sys/stat.h>

#include <limits>
#include <string_view>
#include <utility>
#include <vector>

namespace pelkit {
namespace {

std::string joinPath(const std::string& base, std::string_view relative) {
    std::string out = base;
    if (out.empty() || out.back() != '/') out += '/';
    out += relative;
    return out;
}

// Exists in any form, following symbolic links (a dangling link does not count).
bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

PelError unexpected(std::string message) {
    return PelError(ErrorCode::INT_UNEXPECTED, std::nullopt, std::nullopt, std::move(message), false);
}

std::string withoutExtension(std::string name) {
    auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    return name;
}

// The file-system path of a bundle URL without trailing slashes, so "Foo.app/" and "Foo.app"
// name the same bundle (and the same cache row).
std::string bundlePathOf(const Url& bundle) {
    std::string path = bundle.filePath();
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string lastComponent(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> architectures(const std::string& bundlePath, const std::string& executable) {
    return MachOHeader::architecturesOfFile(joinPath(bundlePath, "Contents/MacOS/" + executable));
}

std::string trimBlanksAndTabs(std::string_view s) {
    size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return {};
    size_t end = s.find_last_not_of(" \t");
    return std::string(s.substr(begin, end - begin + 1));
}

// codesign writes its details to standard error. It prints the main executable's path and the
// signing identifier before its own TeamIdentifier= line, and both come from whoever built the
// bundle: only a line that begins with the key counts, and the last such line decides.
std::optional<std::string> teamIDFromOutput(const std::string& out, const std::string& err) {
    static constexpr std::string_view key = "TeamIdentifier=";
    const std::string joined = out + "\n" + err;
    std::optional<std::string_view> found;
    size_t start = 0;
    while (start <= joined.size()) {
        size_t end = joined.find('\n', start);
        if (end == std::string::npos) end = joined.size();
        std::string_view line(joined.data() + start, end - start);
        if (line.starts_with(key)) found = line.substr(key.size());
        start = end + 1;
    }
    if (!found) return std::nullopt;
    std::string value = trimBlanksAndTabs(*found);
    if (value == "not set") return std::nullopt;
    return value;
}

// The main executable named by the bundle's Info.plist, when it can be read.
std::optional<std::string> executableNamed(const std::string& bundlePath) {
    try {
        const std::string plistPath = joinPath(bundlePath, "Contents/Info.plist");
        if (!exists(plistPath)) return std::nullopt;
        return platform::PlistValue::readFile(plistPath).stringForKey("CFBundleExecutable");
    } catch (...) {
        return std::nullopt;
    }
}

// What makes a bundle's names unfit to stand in codesign's output (a line feed in a name would
// start a line of the name's choosing); nothing when they are fit.
std::optional<std::string> unfitName(const std::string& bundlePath,
                                     const std::optional<std::string>& executable) {
    if (platform::unicode::hasControlCharacter(bundlePath)) return "control character in the bundle path";
    if (executable && platform::unicode::hasControlCharacter(*executable))
        return "control character in CFBundleExecutable";
    return std::nullopt;
}

std::optional<std::string> teamIDAt(const std::string& bundlePath) {
    const EntryStamp stamp = entryStamp(bundlePath);
    DB& db = DB::shared();
    if (auto cached = db.getTeamID(bundlePath, stamp.mtime, stamp.size)) return *cached;

    auto codesign = Proc::which("codesign");
    if (!codesign) return std::nullopt;
    ProcResult result =
        Proc::run(*codesign, {"-dv", "--verbose=4", bundlePath}, BundleReader::codesignTimeoutSeconds);
    std::optional<std::string> teamID = teamIDFromOutput(result.stdout, result.stderr);
    db.setTeamID(bundlePath, stamp.mtime, stamp.size, teamID);
    return teamID;
}

} // namespace

EntryStamp entryStamp(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return {};
    EntryStamp stamp;
    stamp.mtime = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
    if (st.st_size >= 0 && static_cast<std::uintmax_t>(st.st_size) <=
                               static_cast<std::uintmax_t>(std::numeric_limits<std::int64_t>::max()))
        stamp.size = static_cast<std::int64_t>(st.st_size);
    return stamp;
}

InstalledApp BundleReader::read(const Url& bundle) {
    const std::string bundlePath = bundlePathOf(bundle);
    if (auto unfit = unfitName(bundlePath, std::nullopt)) throw unexpected(*unfit);
    const std::string plistPath = joinPath(bundlePath, "Contents/Info.plist");
    if (!exists(plistPath)) throw unexpected("no Info.plist at " + plistPath);

    const platform::PlistValue plist = platform::PlistValue::readFile(plistPath);
    if (!plist.isDictionary()) throw unexpected("Info.plist not a dictionary");
    auto bundleID = plist.stringForKey("CFBundleIdentifier");
    if (!bundleID) throw unexpected("no CFBundleIdentifier");

    InstalledApp app;
    app.path = bundle;
    app.bundleID = *bundleID;
    app.shortVersion = plist.stringForKey("CFBundleShortVersionString");
    app.buildVersion = plist.stringForKey("CFBundleVersion");
    app.executable = plist.stringForKey("CFBundleExecutable");
    if (auto unfit = unfitName(bundlePath, app.executable)) throw unexpected(*unfit);
    app.minSystemVersion = plist.stringForKey("LSMinimumSystemVersion");
    if (auto feed = plist.stringForKey("SUFeedURL")) app.sparkleFeedURL = Url::parse(*feed);
    if (auto display = plist.stringForKey("CFBundleDisplayName")) {
        app.name = *display;
    } else if (auto name = plist.stringForKey("CFBundleName")) {
        app.name = *name;
    } else {
        app.name = withoutExtension(lastComponent(bundlePath));
    }
    app.isMacAppStore = exists(joinPath(bundlePath, "Contents/_MASReceipt/receipt"));
    app.isAppleOwned = app.bundleID.starts_with("com.apple.");
    if (app.executable) app.archs = architectures(bundlePath, *app.executable);
    try {
        app.teamID = teamIDAt(bundlePath); // the names were checked above
    } catch (...) {
        // A codesign that cannot start or hangs leaves the Team ID unknown; the read still succeeds.
        app.teamID = std::nullopt;
    }
    return app;
}

std::optional<std::string> BundleReader::readTeamID(const Url& appURL) {
    const std::string bundlePath = bundlePathOf(appURL);
    if (auto unfit = unfitName(bundlePath, executableNamed(bundlePath)))
        throw PelError(ErrorCode::SEC_TEAMID_MISMATCH, std::nullopt, std::nullopt, *unfit, false);
    return teamIDAt(bundlePath);
}

} // namespace pelkit
