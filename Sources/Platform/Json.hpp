#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

using Json = nlohmann::json;

// A strict decode failure; the text names the key path that failed.
class JsonDecodeError : public std::runtime_error {
public:
    JsonDecodeError(const std::string& keyPath, const std::string& problem)
        : std::runtime_error("JSON decode: " + problem + " at \"" + keyPath + "\""), keyPath_(keyPath) {}
    const std::string& keyPath() const { return keyPath_; }

private:
    std::string keyPath_;
};

// Strict reads: a missing key or a value of another type throws JsonDecodeError.
// `path` is the key path of the containing object, for the error text ("" at the top).
namespace json {

std::string joinPath(const std::string& path, const std::string& key);
const Json& requireObject(const Json& j, const std::string& path);
std::string requireString(const Json& obj, const std::string& key, const std::string& path = "");
bool requireBool(const Json& obj, const std::string& key, const std::string& path = "");
std::int64_t requireInt(const Json& obj, const std::string& key, const std::string& path = "");
// Any JSON number, integer or not.
double requireNumber(const Json& obj, const std::string& key, const std::string& path = "");
std::vector<std::string> requireStringArray(const Json& obj, const std::string& key, const std::string& path = "");

// Strict optional reads: a missing key (or null) is absent; any other type throws.
std::optional<std::string> optionalString(const Json& obj, const std::string& key, const std::string& path = "");
std::optional<bool> optionalBool(const Json& obj, const std::string& key, const std::string& path = "");
std::optional<std::int64_t> optionalInt(const Json& obj, const std::string& key, const std::string& path = "");
std::optional<double> optionalNumber(const Json& obj, const std::string& key, const std::string& path = "");
std::optional<std::vector<std::string>> optionalStringArray(const Json& obj, const std::string& key,
                                                            const std::string& path = "");

// Loose reads for remote JSON: a missing key or a value of another type is absent.
std::optional<std::string> looseString(const Json& obj, const std::string& key);
std::optional<bool> looseBool(const Json& obj, const std::string& key);
// Integers only (a float or a numeric string is absent).
std::optional<std::int64_t> looseInt(const Json& obj, const std::string& key);
std::optional<double> looseNumber(const Json& obj, const std::string& key);
const Json* looseObject(const Json& obj, const std::string& key);
const Json* looseArray(const Json& obj, const std::string& key);

}  // namespace json
}  // namespace platform
