#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// A typed preference store over one JSON object file. Every handle of one file (made by file()) shares
// one map and one lock, so handles see each other's writes at once. Each write rewrites the file with
// atomicWrite; a failed write is swallowed (the value stays in memory). A value stored with another
// JSON type reads as absent (the text "false" is no boolean). A file that does not decode is kept as
// "<name>.corrupt" before the first write, and the store starts empty.
// JSON forms: string → string, integer → number (64-bit), boolean → true/false, string list → array of
// strings, bytes → {"$bytes": "<base64>"}.
class Defaults {
public:
    // A handle of the store behind `file` (the folder must exist for writes to land).
    static Defaults file(const std::filesystem::path& file);
    // A fresh store that lives in memory only (for tests).
    static Defaults inMemory();

    std::optional<std::string> string(const std::string& key) const;
    std::optional<std::int64_t> integer(const std::string& key) const;
    std::optional<bool> boolean(const std::string& key) const;
    std::optional<std::vector<std::uint8_t>> bytes(const std::string& key) const;
    std::optional<std::vector<std::string>> stringList(const std::string& key) const;
    bool contains(const std::string& key) const;

    void setString(const std::string& key, const std::string& value);
    void setInteger(const std::string& key, std::int64_t value);
    void setBoolean(const std::string& key, bool value);
    void setBytes(const std::string& key, const std::vector<std::uint8_t>& value);
    void setStringList(const std::string& key, const std::vector<std::string>& value);
    void remove(const std::string& key);

    // The file behind the store, empty for an in-memory store.
    std::filesystem::path path() const;

private:
    struct Store;
    explicit Defaults(std::shared_ptr<Store> store) : store_(std::move(store)) {}
    std::shared_ptr<Store> store_;
};

} // namespace platform
