#pragma once

#include "Platform/Clock.hpp"
#include "Platform/Json.hpp"
#include "Platform/Url.hpp"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelkit {

using platform::Json;
using platform::TimePoint;
using platform::Url;

// ---- Enumerations with string raw values (the raw value is the case name) ----

enum class AppSource { homebrew, sparkle, macAppStore, none };

enum class Outcome { upToDate, outdated, unresolved, unsupported, error };

// The case order is fixed: the class table follows it.
enum class ErrorCode {
    NET_TIMEOUT,
    NET_HTTP_5XX,
    NET_DNS,
    NET_RATE_LIMITED,
    SRC_FEED_MALFORMED,
    SRC_FEED_STALE,
    SRC_FEED_404,
    SRC_VERSION_REGRESSION,
    SRC_HASH_MISMATCH,
    SRC_NO_MATCH,
    ENV_APP_RUNNING,
    ENV_NOT_WRITABLE,
    ENV_DISK_FULL,
    ENV_MOUNT_FAILED,
    SEC_TEAMID_MISMATCH,
    SEC_SIGNATURE_INVALID,
    SEC_BUNDLEID_CHANGED,
    UNS_PKG,
    UNS_MAS,
    UNS_ARCHIVE_FORMAT,
    INT_UNEXPECTED,
};

enum class ErrorClass { transient, sourceDefect, localEnv, safety, unsupported, internalBug };

enum class ExitCode : std::int32_t { ok = 0, updateFailed = 1, usage = 2, safetyAbort = 3 };

std::string_view rawValue(AppSource v);
std::string_view rawValue(Outcome v);
std::string_view rawValue(ErrorCode v);
std::string_view rawValue(ErrorClass v);
std::int32_t rawValue(ExitCode v);

// Exactly one of the raw values, compared case-sensitively; anything else gives nothing.
template <class E>
std::optional<E> fromRawValue(std::string_view raw);
template <>
std::optional<AppSource> fromRawValue<AppSource>(std::string_view raw);
template <>
std::optional<Outcome> fromRawValue<Outcome>(std::string_view raw);
template <>
std::optional<ErrorCode> fromRawValue<ErrorCode>(std::string_view raw);
template <>
std::optional<ErrorClass> fromRawValue<ErrorClass>(std::string_view raw);
std::optional<ExitCode> exitCodeFromRawValue(std::int32_t raw);

ErrorClass klass(ErrorCode code);
bool retryable(ErrorClass c);

// JSON: a single string holding the raw value.
void to_json(Json& j, AppSource v);
void from_json(const Json& j, AppSource& v);
void to_json(Json& j, ErrorCode v);
void from_json(const Json& j, ErrorCode& v);

// ---- The core library's error ----

class PelError : public std::exception {
public:
    PelError(ErrorCode code, std::optional<std::string> bundleID, std::optional<AppSource> source,
             std::string message, bool overrideCanFix);

    ErrorCode code() const { return code_; }
    const std::optional<std::string>& bundleID() const { return bundleID_; }
    const std::optional<AppSource>& source() const { return source_; }
    const std::string& message() const { return message_; }
    bool overrideCanFix() const { return overrideCanFix_; }

    // The generic text form, for callers that print any error without looking at its type.
    // People and logs get "[CODE] message" instead (see `displayText`).
    const char* what() const noexcept override { return description_.c_str(); }

private:
    ErrorCode code_;
    std::optional<std::string> bundleID_;
    std::optional<AppSource> source_;
    std::string message_;
    bool overrideCanFix_;
    std::string description_;
};

// "[CODE] message": how a PelError is shown to a person.
std::string displayText(const PelError& e);

// ---- Records ----

struct InstalledApp {
    Url path;  // file URL of the ".app" folder
    std::string bundleID;
    std::string name;
    std::optional<std::string> shortVersion;
    std::optional<std::string> buildVersion;
    std::optional<std::string> executable;
    std::optional<std::string> minSystemVersion;
    std::optional<Url> sparkleFeedURL;
    bool isMacAppStore = false;
    bool isAppleOwned = false;
    std::optional<std::string> teamID;
    std::vector<std::string> archs;

    bool operator==(const InstalledApp&) const = default;
};

// Absent optionals are left out; throws platform::JsonDecodeError naming the failing key.
Json toJson(const InstalledApp& app);
InstalledApp installedAppFromJson(const Json& j);

struct RemoteVersion {
    AppSource source = AppSource::none;
    std::optional<std::string> sourceToken;
    std::string version;
    std::optional<std::string> buildVersion;
    std::optional<Url> downloadURL;
    std::optional<std::string> sha256;
    std::optional<std::int64_t> sizeBytes;
    std::optional<std::string> minSystemVersion;
    std::optional<TimePoint> publishedAt;
    std::optional<std::string> notes;
    std::optional<std::string> artifactType;
};

struct ResolvedApp {
    InstalledApp app;
    std::optional<RemoteVersion> remote;
    Outcome outcome = Outcome::unresolved;
    std::optional<PelError> error;
};

struct SkippedApp {
    Url path;
    std::string reason;
    std::optional<ErrorCode> code;
};

}  // namespace pelkit
