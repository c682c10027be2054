#include "Platform/Workspace.hpp"

#include "Platform/Plist.hpp"

#include <cctype>
#include <charconv>
#include <cstring>
#include <dirent.h>
#include <map>
#include <string_view>
#include <unistd.h>

namespace platform {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

bool isPidName(const char* name) {
    if (*name == '\0') return false;
    for (const char* p = name; *p != '\0'; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    }
    return true;
}

std::optional<std::string> readLink(const std::string& path) {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (n < 0) return std::nullopt;
        if (static_cast<size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<size_t>(n));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// A bundle without a readable Info.plist is still a running application, only without identifier.
std::optional<std::string> readBundleIdentifier(const std::string& bundlePath) {
    try {
        return PlistValue::readFile(bundlePath + "/Contents/Info.plist").stringForKey("CFBundleIdentifier");
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace

const Workspace& Workspace::shared() {
    static const Workspace* instance = new ProcWorkspace();
    return *instance;
}

std::optional<std::string> enclosingBundlePath(const std::string& executablePath) {
    // Every "/"-separated component before the last one is a folder the executable lies in.
    size_t last = executablePath.rfind('/');
    if (last == std::string::npos) return std::nullopt;
    std::optional<size_t> bundleEnd;
    size_t start = 0;
    while (start < last) {
        size_t end = executablePath.find('/', start);
        if (end == std::string::npos || end > last) end = last;
        std::string_view component(executablePath.data() + start, end - start);
        if (component.size() > 4 && component.substr(component.size() - 4) == ".app") bundleEnd = end;
        start = end + 1;
    }
    if (!bundleEnd) return std::nullopt;
    return executablePath.substr(0, *bundleEnd);
}

ProcWorkspace::ProcWorkspace(std::string procRoot) : procRoot_(std::move(procRoot)) {}

std::vector<RunningApplication> ProcWorkspace::runningApplications() const {
    std::vector<RunningApplication> apps;
    DIR* dir = ::opendir(procRoot_.c_str());
    if (dir == nullptr) return apps;
    // One snapshot reads each bundle's Info.plist once, however many of its processes run.
    std::map<std::string, std::optional<std::string>> identifiers;
    while (const dirent* entry = ::readdir(dir)) {
        pid_t pid = 0;
        const char* name = entry->d_name;
        const char* nameEnd = name + std::strlen(name);
        if (!isPidName(name)) continue;
        auto parsed = std::from_chars(name, nameEnd, pid);
        if (parsed.ec != std::errc() || parsed.ptr != nameEnd) continue;
        // Processes come and go while we look: a vanished or unreadable entry is simply skipped.
        auto exe = readLink(procRoot_ + "/" + entry->d_name + "/exe");
        if (!exe) continue;
        if (exe->size() > kDeletedSuffix.size() &&
            std::string_view(*exe).substr(exe->size() - kDeletedSuffix.size()) == kDeletedSuffix) {
            exe->resize(exe->size() - kDeletedSuffix.size());
        }
        auto bundle = enclosingBundlePath(*exe);
        if (!bundle) continue;
        auto found = identifiers.find(*bundle);
        if (found == identifiers.end())
            found = identifiers.emplace(*bundle, readBundleIdentifier(*bundle)).first;
        apps.push_back(RunningApplication{pid, *bundle, found->second});
    }
    ::closedir(dir);
    return apps;
}

} // namespace platform
