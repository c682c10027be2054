#pragma once

#include "PelKit/Config.hpp"
#include "PelKit/Models.hpp"

#include <optional>

namespace pelkit {

// One place the engine can learn an application's newest release from.
// `latest` answers in three ways: a release (taken, no later source is asked), nothing (the source
// does not apply or knows nothing of the application: ask the next source), or a throw (the source
// applies but asking it failed).
class UpdateSource {
public:
    virtual ~UpdateSource();

    // Which source this is; constant for the object's life.
    virtual AppSource kind() const = 0;

    // `overrides` is the user's entry for the application's bundle identifier, if any.
    virtual std::optional<RemoteVersion> latest(const InstalledApp& app,
                                                const std::optional<OverrideEntry>& overrides) = 0;
};

} // namespace pelkit
