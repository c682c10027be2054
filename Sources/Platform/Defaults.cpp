#include "Platform/Defaults.hpp"

#include "Platform/Base64.hpp"
#include "Platform/Files.hpp"
#include "Platform/Json.hpp"

#include <limits>
#include <map>
#include <mutex>
#include <system_error>

namespace fs = std::filesystem;

namespace platform {
namespace {

constexpr const char* kBytesKey = "$bytes";

} // namespace

struct Defaults::Store {
    fs::path file; // empty: in memory only

    std::mutex mutex;
    Json values = Json::object();
    std::uint64_t version = 0;
    // The file on disk did not decode; it is moved aside before anything replaces it.
    bool keepCorrupt = false;

    // Writes run one at a time, outside `mutex`, and only ever replace the file with a newer map.
    std::mutex writeMutex;
    std::uint64_t writtenVersion = 0;

    void load() {
        std::string text;
        try {
            text = readFile(file);
        } catch (const fs::filesystem_error&) {
            return; // none yet, or unreadable: start empty
        }
        try {
            Json parsed = Json::parse(text);
            if (parsed.is_object()) {
                values = std::move(parsed);
                return;
            }
        } catch (const Json::exception&) {
        }
        keepCorrupt = true;
    }

    template <class T> std::optional<T> read(const std::string& key, std::optional<T> (*decode)(const Json&)) {
        std::lock_guard lock(mutex);
        auto found = values.find(key);
        if (found == values.end()) return std::nullopt;
        return decode(*found);
    }

    void change(const std::string& key, std::optional<Json> value) {
        std::string text;
        std::uint64_t myVersion = 0;
        {
            std::lock_guard lock(mutex);
            if (value) {
                values[key] = std::move(*value);
            } else {
                values.erase(key);
            }
            if (file.empty()) return;
            myVersion = ++version;
            // Invalid UTF-8 in a string cannot be stored as JSON: the file gets U+FFFD, memory keeps the bytes.
            text = values.dump(2, ' ', false, Json::error_handler_t::replace);
        }
        write(myVersion, text);
    }

    void write(std::uint64_t myVersion, const std::string& text) {
        std::lock_guard lock(writeMutex);
        if (myVersion <= writtenVersion) return; // a newer map is already on disk
        if (keepCorrupt) {
            std::error_code ec;
            fs::rename(file, fs::path(file) += ".corrupt", ec);
            if (ec && fs::exists(file)) return; // never overwrite what could not be kept
            keepCorrupt = false;
        }
        try {
            atomicWrite(file, text, 0600);
            writtenVersion = myVersion;
        } catch (const fs::filesystem_error&) {
            // The value stays in memory; the next write tries again with the whole map.
        }
    }
};

namespace {

std::optional<std::string> decodeString(const Json& j) {
    if (!j.is_string()) return std::nullopt;
    return j.get<std::string>();
}

std::optional<std::int64_t> decodeInteger(const Json& j) {
    if (j.is_number_unsigned()) {
        auto u = j.get<std::uint64_t>();
        if (u > std::uint64_t(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        return std::int64_t(u);
    }
    if (!j.is_number_integer()) return std::nullopt;
    return j.get<std::int64_t>();
}

std::optional<bool> decodeBoolean(const Json& j) {
    if (!j.is_boolean()) return std::nullopt;
    return j.get<bool>();
}

std::optional<std::vector<std::uint8_t>> decodeBytes(const Json& j) {
    if (!j.is_object() || j.size() != 1) return std::nullopt;
    auto found = j.find(kBytesKey);
    if (found == j.end() || !found->is_string()) return std::nullopt;
    return base64Decode(found->get_ref<const std::string&>());
}

std::optional<std::vector<std::string>> decodeStringList(const Json& j) {
    if (!j.is_array()) return std::nullopt;
    std::vector<std::string> list;
    list.reserve(j.size());
    for (const auto& item : j) {
        if (!item.is_string()) return std::nullopt;
        list.push_back(item.get<std::string>());
    }
    return list;
}

} // namespace

Defaults Defaults::file(const fs::path& file) {
    // One store per file for the whole process; never destroyed, so a worker writing at exit is safe.
    static std::mutex mutex;
    static auto* stores = new std::map<fs::path, std::shared_ptr<Store>>();

    std::error_code ec;
    fs::path key = fs::weakly_canonical(fs::absolute(file, ec), ec);
    if (ec) key = fs::absolute(file).lexically_normal();

    std::lock_guard lock(mutex);
    auto& store = (*stores)[key];
    if (!store) {
        store = std::make_shared<Store>();
        store->file = key;
        store->load();
    }
    return Defaults(store);
}

Defaults Defaults::inMemory() { return Defaults(std::make_shared<Store>()); }

std::optional<std::string> Defaults::string(const std::string& key) const {
    return store_->read<std::string>(key, decodeString);
}
std::optional<std::int64_t> Defaults::integer(const std::string& key) const {
    return store_->read<std::int64_t>(key, decodeInteger);
}
std::optional<bool> Defaults::boolean(const std::string& key) const {
    return store_->read<bool>(key, decodeBoolean);
}
std::optional<std::vector<std::uint8_t>> Defaults::bytes(const std::string& key) const {
    return store_->read<std::vector<std::uint8_t>>(key, decodeBytes);
}
std::optional<std::vector<std::string>> Defaults::stringList(const std::string& key) const {
    return store_->read<std::vector<std::string>>(key, decodeStringList);
}

bool Defaults::contains(const std::string& key) const {
    std::lock_guard lock(store_->mutex);
    return store_->values.contains(key);
}

void Defaults::setString(const std::string& key, const std::string& value) { store_->change(key, Json(value)); }
void Defaults::setInteger(const std::string& key, std::int64_t value) { store_->change(key, Json(value)); }
void Defaults::setBoolean(const std::string& key, bool value) { store_->change(key, Json(value)); }
void Defaults::setBytes(const std::string& key, const std::vector<std::uint8_t>& value) {
    store_->change(key, Json{{kBytesKey, base64Encode(value)}});
}
void Defaults::setStringList(const std::string& key, const std::vector<std::string>& value) {
    store_->change(key, Json(value));
}
void Defaults::remove(const std::string& key) { store_->change(key, std::nullopt); }

fs::path Defaults::path() const { return store_->file; }

} // namespace platform
