#pragma once

// An update source that answers from a script, for engine tests.
//
//     auto brew = std::make_shared<pelsupport::ScriptedSource>(AppSource::homebrew);
//     brew->fail(PelError(ErrorCode::NET_TIMEOUT, ...)).answer(remote);  // first call, second call
//     brew->always(nothing);                                            // every call after the script
//     ... engine.check(app, true) ...
//     EXPECT_EQ(brew->calls(), 1);
//
// Each call takes the next step of the script; once the script is used up, every call takes the
// `always` step (nothing unless set). A step is a release, nothing, a PelError to throw or a
// std::runtime_error to throw. `onCall` runs inside each call before the step is taken (to step a
// clock, say). Every call is logged with the application and the override entry it was given.

#include "PelKit/Config.hpp"
#include "PelKit/Models.hpp"
#include "PelKit/UpdateSources/UpdateSource.hpp"

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace pelsupport {

struct ScriptedNothing {};

class ScriptedSource final : public pelkit::UpdateSource {
public:
    using Step = std::variant<pelkit::RemoteVersion, ScriptedNothing, pelkit::PelError, std::runtime_error>;

    struct Call {
        pelkit::InstalledApp app;
        std::optional<pelkit::OverrideEntry> overrides;
    };

    explicit ScriptedSource(pelkit::AppSource kind) : kind_(kind) {}

    // Appends one step to the script.
    ScriptedSource& answer(pelkit::RemoteVersion remote) { return then(std::move(remote)); }
    ScriptedSource& nothing() { return then(ScriptedNothing{}); }
    ScriptedSource& fail(pelkit::PelError error) { return then(std::move(error)); }
    ScriptedSource& failWith(const std::string& what) { return then(std::runtime_error(what)); }
    ScriptedSource& then(Step step);
    // The step of every call after the script.
    ScriptedSource& always(Step step);

    std::function<void(const pelkit::InstalledApp&)> onCall;

    pelkit::AppSource kind() const override { return kind_; }
    std::optional<pelkit::RemoteVersion>
    latest(const pelkit::InstalledApp& app, const std::optional<pelkit::OverrideEntry>& overrides) override;

    int calls() const;
    std::vector<Call> callLog() const;

private:
    pelkit::AppSource kind_;
    mutable std::mutex mutex_;
    std::deque<Step> script_;
    Step always_ = ScriptedNothing{};
    std::vector<Call> log_;
};

// A release of `source` with this version and nothing else known.
pelkit::RemoteVersion scriptedRemote(pelkit::AppSource source, std::string version,
                                     std::optional<std::string> sourceToken = std::nullopt);

} // namespace pelsupport
