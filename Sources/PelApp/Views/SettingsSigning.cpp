#include "PelApp/Views/SettingsSigning.hpp"

#include "PelKit/Proc.hpp"

#include <vector>

namespace pelapp {

namespace {

constexpr double kCodesignTimeoutSeconds = 10;
constexpr std::string_view kProductName = "Pelloran";

std::string_view trimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// The rest of `line` after `marker` when the line is the tool's own line of that key, or nothing.
// Only the start counts: the report begins with the executable's path, whose folder names anyone
// may choose.
std::optional<std::string_view> after(std::string_view line, std::string_view marker) {
    line = trimBlanks(line);
    if (!line.starts_with(marker)) return std::nullopt;
    return line.substr(marker.size());
}

} // namespace

std::optional<std::string> parseSigningTeam(std::string_view report) {
    while (!report.empty()) {
        const auto end = report.find('\n');
        const std::string_view line = report.substr(0, end);
        report = end == std::string_view::npos ? std::string_view{} : report.substr(end + 1);
        if (line.empty()) continue;
        if (auto team = after(line, "TeamIdentifier=")) return std::string(trimBlanks(*team));
        if (auto authority = after(line, "Authority=");
            authority && authority->find(kProductName) != std::string_view::npos)
            return std::string(trimBlanks(*authority));
    }
    return std::nullopt;
}

std::optional<std::string> readSigningTeam(const std::string& bundlePath) {
    const std::optional<std::string> tool = pelkit::Proc::which("codesign");
    if (!tool) return std::nullopt;
    try {
        const pelkit::ProcResult result =
            pelkit::Proc::run(*tool, {"-dv", "--verbose=4", bundlePath}, kCodesignTimeoutSeconds);
        // The report is on standard error; the exit status plays no part.
        return parseSigningTeam(result.stdout + "\n" + result.stderr);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

SigningTeam::SigningTeam(std::string bundlePath) : state_(std::make_shared<State>()) {
    state_->bundlePath = std::move(bundlePath);
}

SigningTeam& SigningTeam::shared(const std::string& bundlePath) {
    static SigningTeam* team = new SigningTeam(bundlePath);
    return *team;
}

Task<void> SigningTeam::run(std::shared_ptr<State> state) {
    auto work = [path = state->bundlePath] { return readSigningTeam(path); };
    std::optional<std::string> answer = co_await offMain(work);
    state->answer.emplace(std::move(answer));
    // A copy: an observer may remove itself while it runs.
    const auto observers = state->observers;
    for (const auto& [token, ready] : observers) {
        if (state->observers.count(token)) ready();
    }
}

void SigningTeam::start(platform::Executor& main) {
    if (state_->started) return;
    state_->started = true;
    MainTask::start(main, run(state_));
}

int SigningTeam::observe(std::function<void()> ready) {
    const int token = state_->nextToken++;
    state_->observers.emplace(token, std::move(ready));
    return token;
}

void SigningTeam::unobserve(int token) {
    state_->observers.erase(token);
}

} // namespace pelapp
