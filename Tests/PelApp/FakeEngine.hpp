#pragma once

#include "PelApp/Model/EngineApi.hpp"
#include "PelApp/Model/UrlOpener.hpp"
#include "PelKit/Config.hpp"
#include "PelKit/Journal.hpp"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelapptest {

// A scripted engine for the model's tests. scan() answers at once. check() and update() run on the
// model's worker threads: each answers at once when a reply is scripted for its bundle identifier,
// else it blocks until the test gives one, so a test decides when (and in which order) calls complete.
// Progress callbacks are made on that worker thread, as the real engine does.
class FakeEngine final : public pelapp::EngineApi {
public:
    // One progress report of an update: a phase text, or bytes (done, total; total -1 when unknown).
    struct Report {
        std::optional<std::string> phase;
        std::optional<std::pair<std::int64_t, std::int64_t>> bytes;
        static Report phaseText(std::string text) { return {std::move(text), std::nullopt}; }
        static Report byteCount(std::int64_t done, std::int64_t total) {
            return {std::nullopt, {{done, total}}};
        }
    };
    // How one update goes: the reports in order, then a result with `message`, or `error` thrown.
    // With `hold` the update waits after its reports until release() (a stop request throws
    // platform::Cancelled instead, as a stopped transfer does).
    struct UpdateScript {
        std::vector<Report> reports;
        std::string message = "installed";
        std::exception_ptr error;
        bool hold = false;
    };
    struct UpdateCall {
        pelkit::InstalledApp app;
        pelkit::RemoteVersion remote;
        pelkit::EngineOptions opts;
        // The callbacks the call was given, so a test can report through them after it ended.
        pelkit::Engine::UpdateProgress progress;
        pelkit::Engine::BytesProgress bytesProgress;
    };

    // An in-memory overrides store unless one is given. Without a journal, the first journal() call
    // opens a real one (the test must have replaced the home directory and the shared database).
    explicit FakeEngine(std::shared_ptr<pelkit::Overrides> overrides = nullptr,
                        pelkit::Journal* journal = nullptr);

    void setScan(pelkit::ScanResult result);
    int scanCount() const;

    // Scripts the answer of every later check of `bundleID`, and answers the waiting ones.
    void setCheckReply(const std::string& bundleID, pelkit::ResolvedApp reply);
    // Answers only the checks of `bundleID` waiting now.
    void answerCheck(const std::string& bundleID, pelkit::ResolvedApp reply);
    // Bundle identifiers of the checks waiting for an answer, in call order.
    std::vector<std::string> pendingChecks() const;
    // Bundle identifiers of every check, in call order.
    std::vector<std::string> checkCalls() const;

    // Scripts every later update of `bundleID`, and starts the waiting ones on it.
    void setUpdateScript(const std::string& bundleID, UpdateScript script);
    // Lets the held updates of `bundleID` end.
    void release(const std::string& bundleID);
    // Bundle identifiers of the updates waiting for a script or a release, in call order.
    std::vector<std::string> pendingUpdates() const;
    std::vector<UpdateCall> updateCalls() const;

    pelkit::ScanResult scan() override;
    pelkit::ResolvedApp check(const pelkit::InstalledApp& app, bool useCache) override;
    pelkit::InstallResult update(const pelkit::InstalledApp& app, const pelkit::RemoteVersion& remote,
                                 const pelkit::EngineOptions& opts,
                                 const pelkit::Engine::UpdateProgress& progress,
                                 const pelkit::Engine::BytesProgress& bytesProgress,
                                 std::stop_token stop) override;
    pelkit::Overrides& overrides() override { return *overrides_; }
    pelkit::Journal& journal() override;

    // A fresh store over no file (writes go nowhere).
    static std::shared_ptr<pelkit::Overrides> memoryOverrides(pelkit::OverridesFile file = {});

private:
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    pelkit::ScanResult scan_;
    int scans_ = 0;
    std::map<std::string, pelkit::ResolvedApp> checkReplies_;
    std::vector<std::pair<std::string, std::optional<pelkit::ResolvedApp>>> waitingChecks_;
    std::vector<std::string> checkCalls_;
    std::map<std::string, UpdateScript> updateScripts_;
    std::map<std::string, int> releases_;
    std::vector<std::string> waitingUpdates_;
    std::vector<UpdateCall> updateCalls_;
    std::shared_ptr<pelkit::Overrides> overrides_;
    pelkit::Journal* journal_;
    std::unique_ptr<pelkit::Journal> ownJournal_;
};

// Hands out one engine; can be told to fail instead.
class FakeEngineFactory final : public pelapp::EngineFactory {
public:
    explicit FakeEngineFactory(pelapp::EngineApi& engine) : engine_(engine) {}

    // Every later make() throws `error` (nullptr: succeeds again).
    void failWith(std::exception_ptr error) { failure_ = std::move(error); }
    int makeCount() const { return makes_; }
    pelapp::EngineApi& make() override;

private:
    pelapp::EngineApi& engine_;
    std::exception_ptr failure_;
    int makes_ = 0;
};

// Records every address instead of opening it.
class RecordingUrlOpener final : public pelapp::UrlOpener {
public:
    bool open(const platform::Url& url) override {
        opened.push_back(url.text());
        return answer;
    }
    std::vector<std::string> opened;
    bool answer = true;
};

} // namespace pelapptest
