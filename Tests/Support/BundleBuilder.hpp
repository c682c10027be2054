#pragma once

// Fixture application bundles on disk.
//
//   auto path = BundleBuilder("Foo.app").bundleID("com.example.foo").shortVersion("2.1")
//                   .binaryPlist().receipt().helper("Contents/Library/LoginItems",
//                   BundleBuilder("Helper.app")) .build(dir);
//
// A bundle starts with an Info.plist holding CFBundleIdentifier "com.example.<name lower-cased>",
// CFBundleName <name>, CFBundleShortVersionString "1.0", CFBundleVersion "1" and
// CFBundleExecutable <name>, written as XML, and an executable file Contents/MacOS/<name>
// (mode 0755): the headers of a universal Mach-O file for x86_64 and arm64. Every key can be
// replaced, set to any property-list value (a number, a date, an array... to build odd shapes) or
// removed.

#include "Platform/Plist.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelsupport {

enum class PlistFormat { xml, binary };

class BundleBuilder {
public:
    // `fileName` is the bundle's folder name, e.g. "Foo.app".
    explicit BundleBuilder(std::string fileName);

    BundleBuilder& bundleID(std::string id) { return set("CFBundleIdentifier", text(std::move(id))); }
    BundleBuilder& name(std::string n) { return set("CFBundleName", text(std::move(n))); }
    BundleBuilder& displayName(std::string n) { return set("CFBundleDisplayName", text(std::move(n))); }
    BundleBuilder& shortVersion(std::string v) {
        return set("CFBundleShortVersionString", text(std::move(v)));
    }
    BundleBuilder& buildVersion(std::string v) { return set("CFBundleVersion", text(std::move(v))); }
    BundleBuilder& minSystemVersion(std::string v) {
        return set("LSMinimumSystemVersion", text(std::move(v)));
    }
    BundleBuilder& feedURL(std::string url) { return set("SUFeedURL", text(std::move(url))); }

    // Any Info.plist key with any value; `remove` drops a key (the defaults included).
    BundleBuilder& set(const std::string& key, platform::PlistValue value);
    BundleBuilder& remove(const std::string& key);

    BundleBuilder& format(PlistFormat f);
    BundleBuilder& binaryPlist() { return format(PlistFormat::binary); }

    // The executable's name: sets CFBundleExecutable and the file Contents/MacOS/<name>.
    BundleBuilder& executable(std::string name);
    // The bytes of the executable file (say a thin Mach-O from MachOBytes.hpp, or no Mach-O at all).
    BundleBuilder& executableBytes(std::string bytes);
    // Keeps CFBundleExecutable but writes no file for it.
    BundleBuilder& withoutExecutableFile();

    // Writes these bytes as Contents/Info.plist instead of the dictionary (corrupt or odd files).
    BundleBuilder& rawInfoPlist(std::string bytes);
    // Writes no Contents/Info.plist at all.
    BundleBuilder& withoutInfoPlist();

    // An App Store receipt: an empty file at Contents/_MASReceipt/receipt.
    BundleBuilder& receipt(bool present = true);

    // A bundle nested inside this one, in the folder `relativeDir` (e.g. "Contents/Library/LoginItems").
    BundleBuilder& helper(std::string relativeDir, BundleBuilder nested);

    // Creates the bundle inside `parentDir` (created when missing), replacing any earlier copy,
    // and returns its path.
    std::filesystem::path build(const std::filesystem::path& parentDir) const;

    const std::string& fileName() const { return fileName_; }
    // The Info.plist bytes `build` writes.
    std::string infoPlistBytes() const;

    static platform::PlistValue text(std::string s) { return platform::PlistValue(std::move(s)); }

private:
    std::string fileName_;
    platform::PlistValue::Dictionary info_;
    PlistFormat format_ = PlistFormat::xml;
    bool writeExecutable_ = true;
    std::optional<std::string> executableBytes_;
    std::optional<std::string> rawInfoPlist_;
    bool writeInfoPlist_ = true;
    bool receipt_ = false;
    std::vector<std::pair<std::string, BundleBuilder>> helpers_;
};

// Sets a path's own modification time (a symbolic link is not followed), in seconds since 1970.
void setModificationTime(const std::filesystem::path& path, double secondsSince1970);

} // namespace pelsupport
