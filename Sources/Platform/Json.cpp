#include "Platform/Json.hpp"

namespace platform::json {
namespace {

const Json* find(const Json& obj, const std::string& key) {
    if (!obj.is_object()) return nullptr;
    auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
}

const Json& require(const Json& obj, const std::string& key, const std::string& path) {
    if (!obj.is_object()) throw JsonDecodeError(path.empty() ? "(root)" : path, "expected an object");
    const Json* v = find(obj, key);
    if (!v) throw JsonDecodeError(joinPath(path, key), "missing key");
    return *v;
}

[[noreturn]] void wrongType(const std::string& path, const std::string& key, const char* want) {
    throw JsonDecodeError(joinPath(path, key), std::string("expected ") + want);
}

bool isInteger(const Json& v) { return v.is_number_integer(); }

std::int64_t asInt(const Json& v, const std::string& path, const std::string& key) {
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(INT64_MAX)) wrongType(path, key, "a 64-bit integer");
        return static_cast<std::int64_t>(u);
    }
    return v.get<std::int64_t>();
}

}  // namespace

std::string joinPath(const std::string& path, const std::string& key) {
    return path.empty() ? key : path + "." + key;
}

const Json& requireObject(const Json& j, const std::string& path) {
    if (!j.is_object()) throw JsonDecodeError(path.empty() ? "(root)" : path, "expected an object");
    return j;
}

std::string requireString(const Json& obj, const std::string& key, const std::string& path) {
    const Json& v = require(obj, key, path);
    if (!v.is_string()) wrongType(path, key, "a string");
    return v.get<std::string>();
}

bool requireBool(const Json& obj, const std::string& key, const std::string& path) {
    const Json& v = require(obj, key, path);
    if (!v.is_boolean()) wrongType(path, key, "a boolean");
    return v.get<bool>();
}

std::int64_t requireInt(const Json& obj, const std::string& key, const std::string& path) {
    const Json& v = require(obj, key, path);
    if (!isInteger(v)) wrongType(path, key, "an integer");
    return asInt(v, path, key);
}

double requireNumber(const Json& obj, const std::string& key, const std::string& path) {
    const Json& v = require(obj, key, path);
    if (!v.is_number()) wrongType(path, key, "a number");
    return v.get<double>();
}

std::vector<std::string> requireStringArray(const Json& obj, const std::string& key, const std::string& path) {
    const Json& v = require(obj, key, path);
    if (!v.is_array()) wrongType(path, key, "an array of strings");
    std::vector<std::string> out;
    out.reserve(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
        if (!v[i].is_string()) wrongType(path, key + "[" + std::to_string(i) + "]", "a string");
        out.push_back(v[i].get<std::string>());
    }
    return out;
}

std::optional<std::string> optionalString(const Json& obj, const std::string& key, const std::string& path) {
    const Json* v = find(obj, key);
    if (!v || v->is_null()) return std::nullopt;
    if (!v->is_string()) wrongType(path, key, "a string");
    return v->get<std::string>();
}

std::optional<bool> optionalBool(const Json& obj, const std::string& key, const std::string& path) {
    const Json* v = find(obj, key);
    if (!v || v->is_null()) return std::nullopt;
    if (!v->is_boolean()) wrongType(path, key, "a boolean");
    return v->get<bool>();
}

std::optional<std::int64_t> optionalInt(const Json& obj, const std::string& key, const std::string& path) {
    const Json* v = find(obj, key);
    if (!v || v->is_null()) return std::nullopt;
    if (!isInteger(*v)) wrongType(path, key, "an integer");
    return asInt(*v, path, key);
}

std::optional<double> optionalNumber(const Json& obj, const std::string& key, const std::string& path) {
    const Json* v = find(obj, key);
    if (!v || v->is_null()) return std::nullopt;
    if (!v->is_number()) wrongType(path, key, "a number");
    return v->get<double>();
}

std::optional<std::vector<std::string>> optionalStringArray(const Json& obj, const std::string& key,
                                                            const std::string& path) {
    const Json* v = find(obj, key);
    if (!v || v->is_null()) return std::nullopt;
    return requireStringArray(obj, key, path);
}

std::optional<std::string> looseString(const Json& obj, const std::string& key) {
    const Json* v = find(obj, key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

std::optional<bool> looseBool(const Json& obj, const std::string& key) {
    const Json* v = find(obj, key);
    if (!v || !v->is_boolean()) return std::nullopt;
    return v->get<bool>();
}

std::optional<std::int64_t> looseInt(const Json& obj, const std::string& key) {
    const Json* v = find(obj, key);
    if (!v || !isInteger(*v)) return std::nullopt;
    if (v->is_number_unsigned() && v->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
        return std::nullopt;
    return v->is_number_unsigned() ? static_cast<std::int64_t>(v->get<std::uint64_t>()) : v->get<std::int64_t>();
}

std::optional<double> looseNumber(const Json& obj, const std::string& key) {
    const Json* v = find(obj, key);
    if (!v || !v->is_number()) return std::nullopt;
    return v->get<double>();
}

const Json* looseObject(const Json& obj, const std::string& key) {
    const Json* v = find(obj, key);
    return v && v->is_object() ? v : nullptr;
}

const Json* looseArray(const Json& obj, const std::string& key) {
    const Json* v = find(obj, key);
    return v && v->is_array() ? v : nullptr;
}

}  // namespace platform::json
