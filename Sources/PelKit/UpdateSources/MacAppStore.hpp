#pragma once

#include "PelKit/UpdateSources/UpdateSource.hpp"

#include <string>

namespace pelkit {

class HTTP;

// Asks the App Store lookup service about applications installed from the App Store. It reports the
// store's version, minimum system version and track identifier, never a download: such applications
// are updated through the App Store itself.
class MacAppStoreSource final : public UpdateSource {
public:
    static constexpr const char* defaultBaseURL = "https://itunes.apple.com";
    static constexpr const char* updateNotes = "Mac App Store — update via App Store.app";

    // `baseURL` is the lookup service's address without the "/lookup" path.
    explicit MacAppStoreSource(HTTP& http, std::string baseURL = defaultBaseURL);

    AppSource kind() const override { return AppSource::macAppStore; }

    // The override entry is not consulted. Throws what the HTTPS client or the JSON decoder throws.
    std::optional<RemoteVersion> latest(const InstalledApp& app,
                                        const std::optional<OverrideEntry>& overrides) override;

    // The lookup request for a bundle identifier; nothing when no URL can be formed.
    std::optional<Url> lookupURL(const std::string& bundleID) const;

private:
    HTTP& http_;
    std::string baseURL_;
};

} // namespace pelkit
