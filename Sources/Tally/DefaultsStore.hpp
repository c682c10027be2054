#pragma once

#include "Platform/Defaults.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace tally {

// Where the client's defaults suites live: one JSON file per suite, "<root>/<name>.json", or memory
// only (tests). A suite is a platform::Defaults handle with typed get, set and remove of string, 64-bit
// integer, boolean, bytes and string list; a value of another type reads as absent.
class DefaultsStore {
public:
    // Suites in files under `root` (the host's choice; the folder must exist for writes to land).
    static DefaultsStore inDirectory(std::filesystem::path root);
    // Suites in memory; copies of this store share them.
    static DefaultsStore inMemory();

    // A new handle on every call; all handles of one name share one map and one lock, so each sees the
    // others' writes at once.
    platform::Defaults suite(const std::string& name) const;

    // The folder of the suite files; absent in memory.
    const std::optional<std::filesystem::path>& root() const { return root_; }

private:
    struct MemorySuites;
    DefaultsStore() = default;
    std::optional<std::filesystem::path> root_;
    std::shared_ptr<MemorySuites> memory_;
};

} // namespace tally
