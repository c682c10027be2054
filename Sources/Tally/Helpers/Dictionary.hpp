#pragma once

#include <map>
#include <string>
#include <utility>

namespace tally {

// Signal parameters and payloads: every value is a string.
using Parameters = std::map<std::string, std::string>;

// A new map with each key passed through `transform` and the values unchanged. When two keys map to
// the same new key, the value of the key that sorts last survives (entries are visited in key order).
// An exception thrown by `transform` passes out.
template <class Value, class Transform>
std::map<std::string, Value> mapKeys(const std::map<std::string, Value>& map, Transform&& transform) {
    std::map<std::string, Value> out;
    for (const auto& [key, value] : map) {
        out.insert_or_assign(std::string(transform(key)), value);
    }
    return out;
}

// `base` overlaid by `other`: on an equal key the value of `other` wins.
inline Parameters applying(Parameters base, const Parameters& other) {
    for (const auto& [key, value] : other) {
        base.insert_or_assign(key, value);
    }
    return base;
}

} // namespace tally
