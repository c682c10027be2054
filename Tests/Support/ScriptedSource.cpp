#include "Support/ScriptedSource.hpp"

namespace pelsupport {

using namespace pelkit;

ScriptedSource& ScriptedSource::then(Step step) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(step));
    return *this;
}

ScriptedSource& ScriptedSource::always(Step step) {
    std::lock_guard lock(mutex_);
    always_ = std::move(step);
    return *this;
}

std::optional<RemoteVersion> ScriptedSource::latest(const InstalledApp& app,
                                                    const std::optional<OverrideEntry>& overrides) {
    Step step = ScriptedNothing{};
    {
        std::lock_guard lock(mutex_);
        log_.push_back(Call{app, overrides});
        if (!script_.empty()) {
            step = std::move(script_.front());
            script_.pop_front();
        } else {
            step = always_;
        }
    }
    if (onCall) onCall(app);
    if (auto* remote = std::get_if<RemoteVersion>(&step)) return *remote;
    if (auto* error = std::get_if<PelError>(&step)) throw *error;
    if (auto* error = std::get_if<std::runtime_error>(&step)) throw *error;
    return std::nullopt;
}

int ScriptedSource::calls() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(log_.size());
}

std::vector<ScriptedSource::Call> ScriptedSource::callLog() const {
    std::lock_guard lock(mutex_);
    return log_;
}

RemoteVersion scriptedRemote(AppSource source, std::string version, std::optional<std::string> sourceToken) {
    RemoteVersion r;
    r.source = source;
    r.sourceToken = std::move(sourceToken);
    r.version = std::move(version);
    return r;
}

} // namespace pelsupport
