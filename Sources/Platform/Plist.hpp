#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace platform {

// A property list that could not be parsed (XML or binary). Passes through callers unchanged.
class PlistError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A parsed property-list value. Dates are seconds since 1 January 2001 (the format's epoch)
// converted to seconds since 1970; data is raw bytes.
class PlistValue {
public:
    struct Date {
        double secondsSince1970 = 0;
        bool operator==(const Date&) const = default;
    };
    struct Data {
        std::string bytes;
        bool operator==(const Data&) const = default;
    };
    using Array = std::vector<PlistValue>;
    using Dictionary = std::map<std::string, PlistValue>;
    using Storage = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, Date, Data,
                                 Array, Dictionary>;

    PlistValue() = default;
    explicit PlistValue(Storage v) : value_(std::move(v)) {}

    // Parses XML or binary property-list bytes; throws PlistError.
    static PlistValue parse(const std::string& bytes);
    // Reads and parses a file; a missing or unreadable file throws std::system_error,
    // malformed content throws PlistError.
    static PlistValue readFile(const std::string& path);

    bool isDictionary() const { return std::holds_alternative<Dictionary>(value_); }
    bool isArray() const { return std::holds_alternative<Array>(value_); }
    bool isString() const { return std::holds_alternative<std::string>(value_); }

    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&value_); }
    const Array* array() const { return std::get_if<Array>(&value_); }
    const std::string* string() const { return std::get_if<std::string>(&value_); }
    std::optional<bool> boolean() const;
    // Integers of either signedness that fit into int64.
    std::optional<std::int64_t> integer() const;

    // Dictionary member lookup; nullptr when this is no dictionary or the key is missing.
    const PlistValue* find(const std::string& key) const;
    // The member's text, only when it is a string value.
    std::optional<std::string> stringForKey(const std::string& key) const;

    const Storage& storage() const { return value_; }

    // Serialises (for fixtures): XML or binary.
    std::string toXml() const;
    std::string toBinary() const;

private:
    Storage value_;
};

}  // namespace platform
