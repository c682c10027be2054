#include "Support/ScriptedWorkspace.hpp"

#include <algorithm>

namespace pelsupport {

ScriptedWorkspace::ScriptedWorkspace(std::vector<platform::RunningApplication> apps) {
    for (auto& app : apps) instances_.push_back(Instance{std::move(app), {}});
}

std::vector<platform::RunningApplication> ScriptedWorkspace::runningApplications() const {
    std::lock_guard lock(mutex_);
    ++polls_;
    std::erase_if(instances_, [](const Instance& i) { return i.pollsLeft == 0; });
    std::vector<platform::RunningApplication> apps;
    for (auto& instance : instances_) {
        apps.push_back(instance.app);
        if (instance.pollsLeft > 0) --instance.pollsLeft;
    }
    return apps;
}

bool ScriptedWorkspace::control(Control control, pid_t pid) const {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(instances_.begin(), instances_.end(), [&](const Instance& i) {
        return i.app.pid == pid && i.pollsLeft != 0;
    });
    const bool sent = found != instances_.end();
    controls_.push_back(ControlCall{control, pid, sent});
    if (sent && found->pollsLeft < 0) {
        const Quits quits = found->script.quits;
        const bool ends = (quits == Quits::onTerminate) ||
                          (quits == Quits::onForce && control != Control::terminate) ||
                          (quits == Quits::onKill && control == Control::kill);
        if (ends) found->pollsLeft = found->script.polls;
    }
    return sent;
}

bool ScriptedWorkspace::terminate(pid_t pid) const { return control(Control::terminate, pid); }
bool ScriptedWorkspace::forceTerminate(pid_t pid) const { return control(Control::forceTerminate, pid); }
bool ScriptedWorkspace::kill(pid_t pid) const { return control(Control::kill, pid); }

platform::WorkspaceSubscription ScriptedWorkspace::subscribe(std::function<void()> callback) const {
    return subscribers_.add(std::move(callback));
}

void ScriptedWorkspace::set(std::vector<platform::RunningApplication> apps) {
    {
        std::lock_guard lock(mutex_);
        instances_.clear();
        for (auto& app : apps) instances_.push_back(Instance{std::move(app), {}});
    }
    changed();
}

void ScriptedWorkspace::add(platform::RunningApplication app, Script script) {
    {
        std::lock_guard lock(mutex_);
        Instance instance{std::move(app), script};
        if (script.quits == Quits::afterPolls) instance.pollsLeft = script.polls;
        instances_.push_back(std::move(instance));
    }
    changed();
}

void ScriptedWorkspace::remove(pid_t pid) {
    {
        std::lock_guard lock(mutex_);
        std::erase_if(instances_, [&](const Instance& i) { return i.app.pid == pid; });
    }
    changed();
}

void ScriptedWorkspace::changed() const { subscribers_.notify(); }

std::vector<ScriptedWorkspace::ControlCall> ScriptedWorkspace::controls() const {
    std::lock_guard lock(mutex_);
    return controls_;
}

std::size_t ScriptedWorkspace::polls() const {
    std::lock_guard lock(mutex_);
    return polls_;
}

} // namespace pelsupport
