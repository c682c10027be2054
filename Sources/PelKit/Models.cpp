#include "PelKit/Models.hpp"

#include <fmt/format.h>

#include <array>

namespace pelkit {
namespace {

constexpr std::array<std::string_view, 4> kAppSourceRaw{"homebrew", "sparkle", "macAppStore", "none"};
constexpr std::array<std::string_view, 5> kOutcomeRaw{"upToDate", "outdated", "unresolved", "unsupported",
                                                      "error"};
constexpr std::array<std::string_view, 21> kErrorCodeRaw{"NET_TIMEOUT",
                                                         "NET_HTTP_5XX",
                                                         "NET_DNS",
                                                         "NET_RATE_LIMITED",
                                                         "SRC_FEED_MALFORMED",
                                                         "SRC_FEED_STALE",
                                                         "SRC_FEED_404",
                                                         "SRC_VERSION_REGRESSION",
                                                         "SRC_HASH_MISMATCH",
                                                         "SRC_NO_MATCH",
                                                         "ENV_APP_RUNNING",
                                                         "ENV_NOT_WRITABLE",
                                                         "ENV_DISK_FULL",
                                                         "ENV_MOUNT_FAILED",
                                                         "SEC_TEAMID_MISMATCH",
                                                         "SEC_SIGNATURE_INVALID",
                                                         "SEC_BUNDLEID_CHANGED",
                                                         "UNS_PKG",
                                                         "UNS_MAS",
                                                         "UNS_ARCHIVE_FORMAT",
                                                         "INT_UNEXPECTED"};
constexpr std::array<std::string_view, 6> kErrorClassRaw{"transient", "sourceDefect", "localEnv",
                                                         "safety",    "unsupported",  "internalBug"};

// The class of each code, in code order.
constexpr std::array<ErrorClass, 21> kClassTable{
    ErrorClass::transient,    ErrorClass::transient,    ErrorClass::transient,    ErrorClass::transient,
    ErrorClass::sourceDefect, ErrorClass::sourceDefect, ErrorClass::sourceDefect, ErrorClass::sourceDefect,
    ErrorClass::sourceDefect, ErrorClass::sourceDefect, ErrorClass::localEnv,     ErrorClass::localEnv,
    ErrorClass::localEnv,     ErrorClass::localEnv,     ErrorClass::safety,       ErrorClass::safety,
    ErrorClass::safety,       ErrorClass::unsupported,  ErrorClass::unsupported,  ErrorClass::unsupported,
    ErrorClass::internalBug};

template <class E, size_t N>
std::optional<E> lookup(const std::array<std::string_view, N>& table, std::string_view raw) {
    for (size_t i = 0; i < N; ++i) {
        if (table[i] == raw) return static_cast<E>(i);
    }
    return std::nullopt;
}

// Quoted text as the generic rendering writes it.
std::string swiftQuoted(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\'':
            out += "\\'";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\0':
            out += "\\0";
            break;
        default:
            if (c < 0x20 || c == 0x7f) {
                out += fmt::format("\\u{{{:X}}}", c);
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    out += "\"";
    return out;
}

} // namespace

std::string_view rawValue(AppSource v) {
    return kAppSourceRaw[static_cast<size_t>(v)];
}
std::string_view rawValue(Outcome v) {
    return kOutcomeRaw[static_cast<size_t>(v)];
}
std::string_view rawValue(ErrorCode v) {
    return kErrorCodeRaw[static_cast<size_t>(v)];
}
std::string_view rawValue(ErrorClass v) {
    return kErrorClassRaw[static_cast<size_t>(v)];
}
std::int32_t rawValue(ExitCode v) {
    return static_cast<std::int32_t>(v);
}

template <> std::optional<AppSource> fromRawValue<AppSource>(std::string_view raw) {
    return lookup<AppSource>(kAppSourceRaw, raw);
}
template <> std::optional<Outcome> fromRawValue<Outcome>(std::string_view raw) {
    return lookup<Outcome>(kOutcomeRaw, raw);
}
template <> std::optional<ErrorCode> fromRawValue<ErrorCode>(std::string_view raw) {
    return lookup<ErrorCode>(kErrorCodeRaw, raw);
}
template <> std::optional<ErrorClass> fromRawValue<ErrorClass>(std::string_view raw) {
    return lookup<ErrorClass>(kErrorClassRaw, raw);
}

std::optional<ExitCode> exitCodeFromRawValue(std::int32_t raw) {
    if (raw >= 0 && raw <= 3) return static_cast<ExitCode>(raw);
    return std::nullopt;
}

ErrorClass klass(ErrorCode code) {
    return kClassTable[static_cast<size_t>(code)];
}
bool retryable(ErrorClass c) {
    return c == ErrorClass::transient;
}

void to_json(Json& j, AppSource v) {
    j = std::string(rawValue(v));
}
void from_json(const Json& j, AppSource& v) {
    if (!j.is_string()) throw platform::JsonDecodeError("(value)", "expected a string");
    auto parsed = fromRawValue<AppSource>(j.get<std::string>());
    if (!parsed)
        throw platform::JsonDecodeError("(value)", "unknown source \"" + j.get<std::string>() + "\"");
    v = *parsed;
}
void to_json(Json& j, ErrorCode v) {
    j = std::string(rawValue(v));
}
void from_json(const Json& j, ErrorCode& v) {
    if (!j.is_string()) throw platform::JsonDecodeError("(value)", "expected a string");
    auto parsed = fromRawValue<ErrorCode>(j.get<std::string>());
    if (!parsed)
        throw platform::JsonDecodeError("(value)", "unknown error code \"" + j.get<std::string>() + "\"");
    v = *parsed;
}

PelError::PelError(ErrorCode code, std::optional<std::string> bundleID, std::optional<AppSource> source,
                   std::string message, bool overrideCanFix)
    : code_(code), bundleID_(std::move(bundleID)), source_(source), message_(std::move(message)),
      overrideCanFix_(overrideCanFix) {
    description_ = "PelError(code: PelKit.ErrorCode.";
    description_ += rawValue(code_);
    description_ += ", bundleID: ";
    description_ += bundleID_ ? "Optional(" + swiftQuoted(*bundleID_) + ")" : "nil";
    description_ += ", source: ";
    description_ += source_ ? "Optional(PelKit.AppSource." + std::string(rawValue(*source_)) + ")" : "nil";
    description_ += ", message: " + swiftQuoted(message_);
    description_ += ", overrideCanFix: ";
    description_ += overrideCanFix_ ? "true" : "false";
    description_ += ")";
}

std::string displayText(const PelError& e) {
    return "[" + std::string(rawValue(e.code())) + "] " + e.message();
}

Json toJson(const InstalledApp& app) {
    Json j = Json::object();
    j["path"] = app.path.text();
    j["bundleID"] = app.bundleID;
    j["name"] = app.name;
    if (app.shortVersion) j["shortVersion"] = *app.shortVersion;
    if (app.buildVersion) j["buildVersion"] = *app.buildVersion;
    if (app.executable) j["executable"] = *app.executable;
    if (app.minSystemVersion) j["minSystemVersion"] = *app.minSystemVersion;
    if (app.sparkleFeedURL) j["sparkleFeedURL"] = app.sparkleFeedURL->text();
    j["isMacAppStore"] = app.isMacAppStore;
    j["isAppleOwned"] = app.isAppleOwned;
    if (app.teamID) j["teamID"] = *app.teamID;
    j["archs"] = app.archs;
    return j;
}

namespace {

Url requireUrl(const Json& j, const std::string& key) {
    std::string text = platform::json::requireString(j, key);
    auto url = Url::parse(text);
    if (!url) throw platform::JsonDecodeError(key, "invalid URL");
    return *url;
}

std::optional<Url> optionalUrl(const Json& j, const std::string& key) {
    auto text = platform::json::optionalString(j, key);
    if (!text) return std::nullopt;
    auto url = Url::parse(*text);
    if (!url) throw platform::JsonDecodeError(key, "invalid URL");
    return url;
}

} // namespace

InstalledApp installedAppFromJson(const Json& j) {
    namespace pj = platform::json;
    pj::requireObject(j, "");
    InstalledApp app;
    app.path = requireUrl(j, "path");
    app.bundleID = pj::requireString(j, "bundleID");
    app.name = pj::requireString(j, "name");
    app.shortVersion = pj::optionalString(j, "shortVersion");
    app.buildVersion = pj::optionalString(j, "buildVersion");
    app.executable = pj::optionalString(j, "executable");
    app.minSystemVersion = pj::optionalString(j, "minSystemVersion");
    app.sparkleFeedURL = optionalUrl(j, "sparkleFeedURL");
    app.isMacAppStore = pj::requireBool(j, "isMacAppStore");
    app.isAppleOwned = pj::requireBool(j, "isAppleOwned");
    app.teamID = pj::optionalString(j, "teamID");
    app.archs = pj::requireStringArray(j, "archs");
    return app;
}

} // namespace pelkit
