#pragma once

#include "PelKit/Models.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pelkit {

class Overrides;

// The answer of one scan, each list in the order the walk met the bundles.
struct ScanResult {
    std::vector<InstalledApp> apps;
    std::vector<SkippedApp> skipped;
};

// One application folder. Every bundle of a system root counts as Apple's own.
struct ScanRoot {
    Url url;
    bool isSystemRoot = false;
};

// Finds the application bundles of the application folders. Unchanged bundles come from the
// database's apps cache; the others are read with BundleReader. Keeps nothing between scans.
class Scanner {
public:
    // Walks the default roots, with the home directory looked up afresh at every scan.
    explicit Scanner(std::shared_ptr<Overrides> overrides);
    // Walks the given roots instead, in order.
    Scanner(std::shared_ptr<Overrides> overrides, std::vector<ScanRoot> roots);

    // /Applications, <home>/Applications, /System/Applications (the system root).
    static std::vector<ScanRoot> defaultRoots(const std::string& homeDirectory);
    static std::vector<ScanRoot> defaultRoots();

    // Never throws; a root that is missing or cannot be listed contributes nothing.
    ScanResult scan() const;

    std::shared_ptr<Overrides> overrides;

private:
    std::optional<std::vector<ScanRoot>> roots_;

    static std::vector<Url> findAppBundles(const std::string& root, int depth);
};

} // namespace pelkit
