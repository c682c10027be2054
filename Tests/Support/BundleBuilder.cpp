#include "Support/BundleBuilder.hpp"

#include "Support/MachOBytes.hpp"
#include "Support/TempDir.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <system_error>

namespace pelsupport {
namespace fs = std::filesystem;

namespace {

std::string stem(const std::string& fileName) {
    auto dot = fileName.rfind('.');
    return dot == std::string::npos || dot == 0 ? fileName : fileName.substr(0, dot);
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

} // namespace

BundleBuilder::BundleBuilder(std::string fileName) : fileName_(std::move(fileName)) {
    const std::string base = stem(fileName_);
    info_["CFBundleIdentifier"] = text("com.example." + lower(base));
    info_["CFBundleName"] = text(base);
    info_["CFBundleShortVersionString"] = text("1.0");
    info_["CFBundleVersion"] = text("1");
    info_["CFBundleExecutable"] = text(base);
}

BundleBuilder& BundleBuilder::set(const std::string& key, platform::PlistValue value) {
    info_[key] = std::move(value);
    return *this;
}

BundleBuilder& BundleBuilder::remove(const std::string& key) {
    info_.erase(key);
    return *this;
}

BundleBuilder& BundleBuilder::format(PlistFormat f) {
    format_ = f;
    return *this;
}

BundleBuilder& BundleBuilder::executable(std::string name) {
    writeExecutable_ = true;
    return set("CFBundleExecutable", text(std::move(name)));
}

BundleBuilder& BundleBuilder::executableBytes(std::string bytes) {
    writeExecutable_ = true;
    executableBytes_ = std::move(bytes);
    return *this;
}

BundleBuilder& BundleBuilder::withoutExecutableFile() {
    writeExecutable_ = false;
    return *this;
}

BundleBuilder& BundleBuilder::rawInfoPlist(std::string bytes) {
    rawInfoPlist_ = std::move(bytes);
    writeInfoPlist_ = true;
    return *this;
}

BundleBuilder& BundleBuilder::withoutInfoPlist() {
    writeInfoPlist_ = false;
    return *this;
}

BundleBuilder& BundleBuilder::receipt(bool present) {
    receipt_ = present;
    return *this;
}

BundleBuilder& BundleBuilder::helper(std::string relativeDir, BundleBuilder nested) {
    helpers_.emplace_back(std::move(relativeDir), std::move(nested));
    return *this;
}

std::string BundleBuilder::infoPlistBytes() const {
    if (rawInfoPlist_) return *rawInfoPlist_;
    platform::PlistValue plist{platform::PlistValue::Storage{info_}};
    return format_ == PlistFormat::xml ? plist.toXml() : plist.toBinary();
}

fs::path BundleBuilder::build(const fs::path& parentDir) const {
    const fs::path bundle = parentDir / fileName_;
    fs::remove_all(bundle);
    fs::create_directories(bundle / "Contents");
    if (writeInfoPlist_) writeText(bundle / "Contents" / "Info.plist", infoPlistBytes());
    if (writeExecutable_) {
        auto it = info_.find("CFBundleExecutable");
        if (it != info_.end() && it->second.string()) {
            const fs::path exe = bundle / "Contents" / "MacOS" / *it->second.string();
            writeText(exe, executableBytes_ ? *executableBytes_ : fatMachO({machO::x86_64, machO::arm64}));
            fs::permissions(exe, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
        }
    }
    if (receipt_) writeText(bundle / "Contents" / "_MASReceipt" / "receipt", "");
    for (const auto& [dir, nested] : helpers_)
        nested.build(bundle / dir);
    return bundle;
}

void setModificationTime(const fs::path& path, double secondsSince1970) {
    double whole = std::floor(secondsSince1970);
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(whole);
    times[0].tv_nsec = static_cast<long>((secondsSince1970 - whole) * 1e9);
    times[1] = times[0];
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::system_error(errno, std::generic_category(), "utimensat " + path.string());
}

} // namespace pelsupport
