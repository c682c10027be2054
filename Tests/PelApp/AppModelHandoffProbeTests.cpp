#include "PelApp/AppModelTestAccess.hpp"
#include "PelApp/FakeEngine.hpp"
#include "PelApp/ModelHarness.hpp"
#include "PelApp/RunUntil.hpp"
#include "PelKit/HTTP.hpp"
#include "Support/ScriptedWorkspace.hpp"
#include "Support/TestServer.hpp"
#include "Support/VirtualSleeper.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

namespace {

using pelapp::MainTask;
using pelapptest::makeRow;
using pelkit::Outcome;
using pelsupport::RecordedRequest;
using pelsupport::Reply;
using Ids = std::vector<std::string>;

// A file of `total` bytes as a server without a usable Content-Length tells it: an empty HEAD,
// then a Content-Range for a one-byte ranged GET.
Reply rangedOnly(const RecordedRequest& request, const std::string& total) {
    if (request.method == "HEAD") return Reply::withStatus(200);
    return Reply::withHeaders(206, {{"Content-Range", "bytes 0-0/" + total}}, "x");
}

class ProbeSizeTest : public ::testing::Test {
protected:
    pelsupport::TestServer server;
    platform::ManualClock httpClock;
    pelsupport::VirtualSleeper sleeper{httpClock};
    pelkit::HTTP http{[this] {
        pelkit::HTTPOptions options;
        options.caFile = server.caFile();
        options.clock = &httpClock;
        options.sleeper = &sleeper;
        return options;
    }()};
    pelapptest::FakeEngine engine;
    pelapptest::FakeEngineFactory factory{engine};
    pelsupport::ScriptedWorkspace workspace;
    platform::ManualExecutor executor;
    pelapptest::RecordingUrlOpener urls;
    pelapp::AppModel m{executor,
                       factory,
                       workspace,
                       urls,
                       pelapp::AppInfo{"1.2.3", "45", "/opt/pelloran"},
                       pelapp::AppModelSeams{.http = &http}};
    platform::Url fileURL = server.url("/app.zip");

    void addRow(std::optional<std::int64_t> size = std::nullopt) {
        m.rows.push_back(makeRow("com.example", "Example", Outcome::outdated, "1.0", "2.0"));
        m.rows.back().remote->downloadURL = fileURL;
        m.rows.back().remote->sha256 = "abc";
        m.rows.back().remote->sizeBytes = size;
    }
    MainTask probe() { return MainTask::start(executor, m.probeSize("com.example")); }
    bool ended(const MainTask& task) {
        return pelapptest::runUntil(executor, [&] { return task.isDone(); });
    }
};

TEST_F(ProbeSizeTest, TheServersSizeIsWrittenIntoTheRowOnlyWhenItIsAtLeastOneByte) {
    struct Case {
        const char* label;
        std::function<Reply(const RecordedRequest&)> answer;
        std::optional<std::int64_t> size; // written into the row; nothing: the probe found none
    };
    const std::vector<Case> cases{
        {"content length", [](const RecordedRequest&) { return Reply::ok(std::string(1234, 'x')); }, 1234},
        {"ranged fallback", [](const RecordedRequest& r) { return rangedOnly(r, "5368709120"); }, 5368709120},
        {"total of zero", [](const RecordedRequest& r) { return rangedOnly(r, "0"); }, std::nullopt},
        {"negative total", [](const RecordedRequest& r) { return rangedOnly(r, "-5"); }, std::nullopt},
        {"not found", [](const RecordedRequest&) { return Reply::withStatus(404); }, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        server.on("/app.zip", c.answer);
        m.rows.clear();
        m.updateLog.clear();
        addRow();

        const MainTask task = probe();
        ASSERT_TRUE(ended(task));

        const pelapp::AppRow& row = *m.findRow("com.example");
        EXPECT_FALSE(row.progressText);
        EXPECT_EQ(row.remote->sizeBytes, c.size);
        EXPECT_EQ(row.remote->sha256, "abc") << "the rest of the remote version stays";
        EXPECT_EQ(row.remote->downloadURL, fileURL);
        if (c.size) {
            EXPECT_EQ(m.updateLog, (Ids{"· probeSize com.example → " + std::to_string(*c.size) + " bytes"}));
        } else {
            EXPECT_TRUE(m.updateLog.empty());
        }
    }
}

TEST_F(ProbeSizeTest, WhatChangesWhileTheServerAnswersDecidesWhetherTheSizeIsKept) {
    struct Case {
        const char* label;
        std::function<void(pelapp::AppModel&)> change;
        std::optional<std::string> progressText; // of the row with the identifier afterwards, if any
    };
    const std::vector<Case> cases{
        {"newer release",
         [](pelapp::AppModel& model) {
             model.rows.front().remote->version = "3.0";
             model.rows.front().remote->downloadURL = platform::Url::parse("https://127.0.0.1/app-3.0.zip");
         },
         std::nullopt},
        {"no remote version", [](pelapp::AppModel& model) { model.rows.front().remote.reset(); },
         "Probing size…"},
        {"row gone", [](pelapp::AppModel& model) { model.rows.clear(); }, std::nullopt},
        {"same release", [](pelapp::AppModel&) {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::atomic<bool> answer = false;
        server.on("/app.zip", [&](const RecordedRequest&) {
            for (int i = 0; i < 60'000 && !answer; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return Reply::ok(std::string(1234, 'x'));
        });
        const std::size_t before = server.requests("/app.zip").size();
        m.rows.clear();
        m.updateLog.clear();
        addRow();

        const MainTask task = probe();
        ASSERT_TRUE(
            pelapptest::runUntil(executor, [&] { return server.requests("/app.zip").size() > before; }));
        EXPECT_EQ(m.findRow("com.example")->progressText, "Probing size…");
        c.change(m);
        answer = true;
        ASSERT_TRUE(ended(task));

        const pelapp::AppRow* row = m.findRow("com.example");
        if (!row) continue;
        EXPECT_EQ(row->progressText, c.progressText);
        const bool kept = std::string(c.label) == "same release";
        if (row->remote) {
            EXPECT_EQ(row->remote->sizeBytes, kept ? std::optional<std::int64_t>(1234) : std::nullopt);
        }
        EXPECT_EQ(m.updateLog.size(), kept ? 1u : 0u);
    }
}

TEST_F(ProbeSizeTest, ARowThatHasASizeOrNoAddressIsNotProbedAtAll) {
    server.script("/app.zip", {Reply::ok("x")});
    int rowChanges = 0;
    m.addObserver([&](pelapp::ModelChange group) {
        if (pelapp::hasChange(group, pelapp::ModelChange::rows)) ++rowChanges;
    });
    const std::vector<std::function<void()>> setups{
        [&] { addRow(987); },
        [&] {
            addRow();
            m.rows.back().remote->downloadURL.reset();
        },
        [&] {
            addRow();
            m.rows.back().remote.reset();
        },
        [] {},
    };
    for (const auto& setup : setups) {
        m.rows.clear();
        setup();
        const MainTask task = probe();
        ASSERT_TRUE(ended(task));
    }
    EXPECT_EQ(rowChanges, 0) << "no \"Probing size…\"";
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(m.updateLog.empty());
}

TEST_F(ProbeSizeTest, WithoutAClientOfItsOwnTheModelAsksTheSharedOne) {
    server.script("/app.zip", {Reply::ok(std::string(77, 'x'))});
    pelkit::testing::ScopedSharedHTTP shared(http);
    pelapptest::ModelHarness h;
    h.model.rows.push_back(makeRow("com.example", "Example", Outcome::outdated, "1.0", "2.0"));
    h.model.rows.back().remote->downloadURL = fileURL;
    const MainTask task = MainTask::start(h.executor, h.model.probeSize("com.example"));
    ASSERT_TRUE(pelapptest::runUntil(h.executor, [&] { return task.isDone(); }));
    EXPECT_EQ(h.model.rows.back().remote->sizeBytes, 77);
}

} // namespace
