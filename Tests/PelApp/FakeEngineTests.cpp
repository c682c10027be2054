#include "PelApp/FakeEngine.hpp"
#include "PelApp/Model/MainActor.hpp"
#include "PelApp/RunUntil.hpp"
#include "Platform/Errors.hpp"
#include "Platform/ManualExecutor.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace {

using pelapptest::FakeEngine;
using pelapptest::runUntil;

pelkit::InstalledApp app(const std::string& id) {
    pelkit::InstalledApp a;
    a.bundleID = id;
    a.name = id;
    return a;
}

pelkit::ResolvedApp resolved(pelkit::Outcome outcome, std::string version) {
    pelkit::ResolvedApp r;
    r.outcome = outcome;
    pelkit::RemoteVersion remote;
    remote.version = std::move(version);
    r.remote = remote;
    return r;
}

pelapp::Task<void> checkOne(FakeEngine* engine, std::string id, std::vector<std::string>* trace) {
    auto work = [engine, id] { return engine->check(app(id), true); };
    auto r = co_await pelapp::offMain(work);
    trace->push_back(r.app.bundleID + " " + r.remote->version);
}

TEST(FakeEngine, ChecksCompleteWhenTheTestAnswers) {
    platform::ManualExecutor executor;
    FakeEngine engine;
    std::vector<std::string> trace;
    engine.setCheckReply("com.scripted", resolved(pelkit::Outcome::upToDate, "1.0"));
    auto a = pelapp::MainTask::start(executor, checkOne(&engine, "com.a", &trace));
    auto b = pelapp::MainTask::start(executor, checkOne(&engine, "com.b", &trace));
    auto s = pelapp::MainTask::start(executor, checkOne(&engine, "com.scripted", &trace));
    ASSERT_TRUE(runUntil(executor, [&] { return engine.pendingChecks().size() == 2 && s.isDone(); }));
    EXPECT_EQ(trace, std::vector<std::string>{"com.scripted 1.0"});

    engine.answerCheck("com.b", resolved(pelkit::Outcome::outdated, "2.0"));
    ASSERT_TRUE(runUntil(executor, [&] { return b.isDone(); }));
    EXPECT_FALSE(a.isDone());
    engine.answerCheck("com.a", resolved(pelkit::Outcome::outdated, "3.0"));
    ASSERT_TRUE(runUntil(executor, [&] { return a.isDone(); }));
    EXPECT_EQ(trace, (std::vector<std::string>{"com.scripted 1.0", "com.b 2.0", "com.a 3.0"}));
    EXPECT_EQ(engine.checkCalls().size(), 3u);
}

TEST(FakeEngine, UpdatesReportFromTheWorkerAndEndAsScripted) {
    FakeEngine engine;
    FakeEngine::UpdateScript script;
    script.reports = {FakeEngine::Report::phaseText("Downloading"), FakeEngine::Report::byteCount(5, -1)};
    script.message = "done";
    engine.setUpdateScript("com.a", script);
    std::vector<std::string> reports;
    std::thread::id reportThread;
    std::string message;
    std::thread worker([&] {
        auto result = engine.update(
            app("com.a"), {}, pelkit::EngineOptions{true, false, false},
            [&](const std::string& phase) {
                reports.push_back(phase);
                reportThread = std::this_thread::get_id();
            },
            [&](std::int64_t done, std::int64_t total) {
                reports.push_back(std::to_string(done) + "/" + std::to_string(total));
            },
            {});
        message = result.message();
    });
    worker.join();
    EXPECT_EQ(reports, (std::vector<std::string>{"Downloading", "5/-1"}));
    EXPECT_NE(reportThread, std::this_thread::get_id());
    EXPECT_EQ(message, "done");
    ASSERT_EQ(engine.updateCalls().size(), 1u);
    EXPECT_TRUE(engine.updateCalls()[0].opts.dryRun);
}

TEST(FakeEngine, AHeldUpdateWaitsForReleaseOrStop) {
    FakeEngine engine;
    FakeEngine::UpdateScript held;
    held.hold = true;
    engine.setUpdateScript("com.held", held);
    held.error = std::make_exception_ptr(
        pelkit::PelError(pelkit::ErrorCode::ENV_APP_RUNNING, "com.failing", std::nullopt, "running", false));
    engine.setUpdateScript("com.failing", held);

    std::stop_source stop;
    std::string outcomeHeld, outcomeFailing;
    std::thread a([&] {
        try {
            engine.update(app("com.held"), {}, {}, {}, {}, stop.get_token());
            outcomeHeld = "result";
        } catch (const platform::Cancelled&) {
            outcomeHeld = "cancelled";
        }
    });
    std::thread b([&] {
        try {
            engine.update(app("com.failing"), {}, {}, {}, {}, {});
        } catch (const pelkit::PelError& e) {
            outcomeFailing = pelkit::displayText(e);
        }
    });
    for (int i = 0; i < 60000 && engine.pendingUpdates().size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(engine.pendingUpdates().size(), 2u);
    engine.release("com.failing");
    b.join();
    stop.request_stop();
    a.join();
    EXPECT_EQ(outcomeHeld, "cancelled");
    EXPECT_EQ(outcomeFailing, "[ENV_APP_RUNNING] running");
    EXPECT_TRUE(engine.pendingUpdates().empty());
}

} // namespace
