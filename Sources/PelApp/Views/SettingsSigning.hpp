#pragma once

#include "PelApp/Model/MainActor.hpp"
#include "Platform/Executor.hpp"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Who signed the running copy, as the About tab shows it.
namespace pelapp {

// The signer in `codesign -dv` output (standard output, a line feed, standard error): the first line
// holding "TeamIdentifier=" or an "Authority=" naming the product decides; nothing without one.
std::optional<std::string> parseSigningTeam(std::string_view report);

// Runs `codesign -dv --verbose=4 <bundlePath>` (found with Proc::which, 10-second time-out) and parses
// its report; nothing when the tool is missing, cannot start or times out. Blocks.
std::optional<std::string> readSigningTeam(const std::string& bundlePath);

// The signing team of one bundle, read once on a worker and then kept. Lives on the main executor.
class SigningTeam {
public:
    explicit SigningTeam(std::string bundlePath);
    SigningTeam(const SigningTeam&) = delete;
    SigningTeam& operator=(const SigningTeam&) = delete;

    // The running copy's, for the whole process (never destroyed).
    static SigningTeam& shared(const std::string& bundlePath);

    // Whether the run has ended, and its answer.
    bool known() const { return state_->answer.has_value(); }
    std::optional<std::string> team() const { return state_->answer ? *state_->answer : std::nullopt; }

    // Starts the one run on a worker (later calls do nothing).
    void start(platform::Executor& main);
    // `ready` is called on the main executor when the answer arrives; the token removes it.
    int observe(std::function<void()> ready);
    void unobserve(int token);

private:
    struct State {
        std::string bundlePath;
        bool started = false;
        std::optional<std::optional<std::string>> answer;
        std::map<int, std::function<void()>> observers;
        int nextToken = 1;
    };
    static Task<void> run(std::shared_ptr<State> state);

    // The run keeps the state alive, so it may outlast this object.
    std::shared_ptr<State> state_;
};

} // namespace pelapp
