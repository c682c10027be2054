#include "PelKit/UpdateSources/Sparkle.hpp"

#include "PelKit/Config.hpp"
#include "PelKit/HTTP.hpp"
#include "PelKit/VersionCompare.hpp"
#include "Platform/Unicode.hpp"

namespace pelkit {
namespace {

PelError sparkleError(ErrorCode code, std::string message) {
    return PelError(code, std::nullopt, AppSource::sparkle, std::move(message), false);
}

}  // namespace

SparkleSource::SparkleSource(HTTP& http, platform::SystemVersion system) : http_(http), system_(system) {}

std::optional<RemoteVersion> SparkleSource::latest(const InstalledApp& app,
                                                   const std::optional<OverrideEntry>& overrides) {
    std::optional<Url> feed;
    if (overrides && overrides->sparkleFeedURL) feed = Url::parse(*overrides->sparkleFeedURL);
    if (!feed) feed = app.sparkleFeedURL;
    if (!feed) return std::nullopt;

    HTTPResponse response;
    try {
        response = http_.get(*feed);
    } catch (const PelError& e) {
        if (e.code() == ErrorCode::NET_HTTP_5XX)
            throw sparkleError(ErrorCode::SRC_FEED_404, "feed unreachable " + feed->text());
        throw;
    }
    if (response.status == 404) throw sparkleError(ErrorCode::SRC_FEED_404, "feed 404 " + feed->text());

    std::vector<Item> items = parse(response.data, feed);

    const std::string running = system_.text();
    const std::string wanted =
        platform::unicode::lowercase(overrides && overrides->channel ? *overrides->channel : "stable");

    const Item* chosen = nullptr;
    for (const auto& item : items) {
        if (item.channel && platform::unicode::lowercase(*item.channel) != wanted) continue;
        if (item.minSystemVersion &&
            VersionCompare::compare(running, *item.minSystemVersion) == ComparisonResult::ascending)
            continue;
        // Linear scan: the ordering is not a strict weak order, and the earliest of equals wins.
        if (!chosen || VersionCompare::compare(chosen->version, item.version) == ComparisonResult::ascending)
            chosen = &item;
    }
    if (!chosen) return std::nullopt;

    if (app.shortVersion &&
        VersionCompare::compare(chosen->version, *app.shortVersion) == ComparisonResult::ascending) {
        throw sparkleError(ErrorCode::SRC_FEED_STALE,
                           "feed advertises " + chosen->version + " but installed is " + *app.shortVersion);
    }

    RemoteVersion remote;
    remote.source = AppSource::sparkle;
    remote.sourceToken = feed->text();
    remote.version = chosen->version;
    remote.buildVersion = chosen->build;
    remote.downloadURL = chosen->enclosureURL;
    // A published size below one byte is no size: the download would be refused against it.
    if (chosen->length && *chosen->length >= 1) remote.sizeBytes = chosen->length;
    remote.minSystemVersion = chosen->minSystemVersion;
    return remote;
}

}  // namespace pelkit
