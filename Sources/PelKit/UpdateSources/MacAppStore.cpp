#include "PelKit/UpdateSources/MacAppStore.hpp"

#include "PelKit/HTTP.hpp"
#include "Platform/Json.hpp"

#include <fmt/format.h>

#include <utility>

namespace pelkit {

namespace {

// The track identifier: an integer in decimal, a string as it is, anything else absent.
std::optional<std::string> trackID(const Json& result) {
    if (auto n = platform::json::looseInt(result, "trackId")) return fmt::format("{}", *n);
    if (auto it = result.find("trackId"); it != result.end() && it->is_number_unsigned())
        return fmt::format("{}", it->get<std::uint64_t>());
    return platform::json::looseString(result, "trackId");
}

// Reads the lookup answer loosely: only the first result counts, and it needs a "version" string.
std::optional<RemoteVersion> decodeAnswer(const Json& document) {
    if (!document.is_object()) return std::nullopt;
    const Json* results = platform::json::looseArray(document, "results");
    if (!results || results->empty()) return std::nullopt;
    for (const Json& r : *results)
        if (!r.is_object()) return std::nullopt;
    const Json& first = results->front();
    auto version = platform::json::looseString(first, "version");
    if (!version) return std::nullopt;

    RemoteVersion remote;
    remote.source = AppSource::macAppStore;
    remote.sourceToken = trackID(first);
    remote.version = std::move(*version);
    remote.minSystemVersion = platform::json::looseString(first, "minimumOsVersion");
    remote.notes = MacAppStoreSource::updateNotes;
    return remote;
}

} // namespace

MacAppStoreSource::MacAppStoreSource(HTTP& http, std::string baseURL)
    : http_(http), baseURL_(std::move(baseURL)) {
    while (!baseURL_.empty() && baseURL_.back() == '/')
        baseURL_.pop_back();
}

std::optional<Url> MacAppStoreSource::lookupURL(const std::string& bundleID) const {
    return Url::parse(
        fmt::format("{}/lookup?bundleId={}&country=us", baseURL_, platform::percentEncode(bundleID, "")));
}

std::optional<RemoteVersion> MacAppStoreSource::latest(const InstalledApp& app,
                                                       const std::optional<OverrideEntry>&) {
    if (!app.isMacAppStore) return std::nullopt;
    auto url = lookupURL(app.bundleID);
    if (!url) return std::nullopt;
    // The status is not examined: a 404 with a JSON object without "results" is simply no answer.
    HTTPResponse response = http_.get(*url);
    return decodeAnswer(Json::parse(response.data));
}

} // namespace pelkit
