#pragma once

#include "PelKit/UpdateSources/UpdateSource.hpp"
#include "Platform/SystemVersion.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelkit {

class HTTP;

// Releases from the appcast an application names (or the user's override names).
// Keeps nothing between calls: every call fetches and parses the feed again.
class SparkleSource final : public UpdateSource {
public:
    // One appcast item as read from the feed.
    struct Item {
        std::string version;
        std::optional<std::string> build;
        std::optional<Url> enclosureURL;
        std::optional<std::int64_t> length;
        std::optional<std::string> minSystemVersion;
        std::optional<std::string> channel;
    };

    explicit SparkleSource(HTTP& http, platform::SystemVersion system = platform::runningSystemVersion());

    AppSource kind() const override { return AppSource::sparkle; }
    std::optional<RemoteVersion> latest(const InstalledApp& app,
                                        const std::optional<OverrideEntry>& overrides) override;

    // Items in document order; throws SRC_FEED_MALFORMED on XML that is not well formed.
    // Enclosures inside <sparkle:deltas> and those for another system ("sparkle:os" other than
    // "macos") are not the item's; an item with only the latter is dropped. Relative enclosure
    // addresses are resolved against `feed` (without one they count as absent).
    // Each call has its own parse state, so parses may run at once.
    static std::vector<Item> parse(std::string_view bytes, const std::optional<Url>& feed = std::nullopt);

private:
    HTTP& http_;
    platform::SystemVersion system_;
};

}  // namespace pelkit
