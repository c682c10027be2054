#include "PelApp/ScanHarness.hpp"

#include "PelKit/Journal.hpp"
#include "PelKit/UpdateSources/Sparkle.hpp"
#include "Support/UpdateFixture.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

// Start-up, scan and resolution over the core library's own engine, made by the production factory.
namespace {

using pelapp::AppModelTestAccess;
using pelapp::CoreEngineFactory;
using pelapptest::ScanHarness;
using pelkit::Outcome;
using pelsupport::BundleBuilder;
using pelsupport::Reply;
using Ids = std::vector<std::string>;

TEST(ScanCoreStartUp, WhatTheFactoryCannotCreateIsShownAndTheModelStaysInert) {
    struct Case {
        const char* what;
        std::function<void(const std::filesystem::path& home)> prepare;
        std::string prefix;
        std::string suffix;
    };
    const std::vector<Case> cases{
        {"an overrides file that does not decode",
         [](const auto& home) {
             pelsupport::writeText(home / ".local/state/pel/overrides.json", "{\"apps\": ");
         },
         "init failed: JSON decode: not valid JSON (", ") at \"(root)\""},
        {"an overrides file of another schema",
         [](const auto& home) {
             pelsupport::writeText(home / ".local/state/pel/overrides.json",
                                   R"({"schemaVersion": 2, "apps": {}})");
         },
         "init failed: [INT_UNEXPECTED] overrides.json schemaVersion 2 unsupported (want 1)", ""},
        {"a regular file where the state directory should be",
         [](const auto& home) { pelsupport::writeText(home / ".local/state", "not a folder"); },
         "init failed: filesystem error: create directory: File exists [", "/home/.local/state]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScanHarness h;
        c.prepare(h.dir / "home");
        CoreEngineFactory factory;
        h.model = h.makeModel(factory);
        h.watch();
        auto& model = *h.model;

        ASSERT_TRUE(h.runToEnd(model.bootstrap()));
        EXPECT_TRUE(model.statusMessage.starts_with(c.prefix)) << model.statusMessage;
        EXPECT_TRUE(model.statusMessage.ends_with(c.suffix)) << model.statusMessage;
        EXPECT_EQ(model.engineApi(), nullptr);
        EXPECT_EQ(h.workspace.subscriberCount(), 0u);

        ASSERT_TRUE(h.runToEnd(model.rescan()));
        EXPECT_EQ(h.statuses.size(), 1u) << "Rescan does nothing without an engine";
        EXPECT_FALSE(model.busy);
        EXPECT_FALSE(model.lastScanDate);
    }
}

std::string feedOffering(const std::string& version) {
    return "<?xml version=\"1.0\"?><rss "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
           "<channel><item><enclosure url=\"https://dl.example/App-" +
           version + ".zip\" length=\"100\" sparkle:shortVersionString=\"" + version +
           "\"/></item></channel></rss>";
}

// This journal's records in order (its day file may hold other runs), without their stamps.
std::vector<pelkit::Json> journalEvents(pelkit::Journal& journal) {
    journal.flush();
    std::ifstream in(journal.file().filePath());
    std::vector<pelkit::Json> out;
    for (std::string line; std::getline(in, line);) {
        auto record = pelkit::Json::parse(line);
        if (record["run"] != journal.runID()) continue;
        record.erase("ts");
        record.erase("run");
        record.erase("schemaVersion");
        out.push_back(std::move(record));
    }
    return out;
}

TEST(ScanCoreIntegration, StartUpScansResolvesAndJournalsThroughTheProductionFactory) {
    pelsupport::UpdateFixture f;
    const auto feed = [&](const std::string& path) { return f.server.url(path).text(); };
    f.server.script("/alpha.xml", {Reply::ok(feedOffering("2.0"))});
    f.server.script("/beta.xml", {Reply::ok(feedOffering("2.0"))});
    f.installApp(BundleBuilder("Alpha.app")
                     .bundleID("com.example.alpha")
                     .shortVersion("1.0")
                     .feedURL(feed("/alpha.xml")));
    f.installApp(BundleBuilder("Beta.app")
                     .bundleID("com.example.beta")
                     .shortVersion("2.0")
                     .feedURL(feed("/beta.xml")));
    f.installApp(BundleBuilder("Gamma.app").bundleID("com.example.gamma"));
    f.installApp(BundleBuilder("Pad.app").bundleID("com.example.pad-setapp"));
    f.installApp(BundleBuilder("Epsilon.app").bundleID("com.example.epsilon"));
    pelsupport::writeText(f.homeDir() / ".local/state/pel/overrides.json", R"({"schemaVersion": 1, "apps": {
        "com.example.alpha": {"bucket": "minor"},
        "com.example.epsilon": {"ignore": true, "ignoreReason": "too loud"}}})");
    pelkit::RemoteVersion stale;
    stale.version = "9.9";
    pelkit::DB::shared().setResolved("com.example.pad-setapp", stale);
    const std::string alphaPath = (f.applications() / "Alpha.app").string();
    f.workspace.set({{4242, alphaPath + "/Contents/Helpers/Agent.app", "com.example.agent"}});

    CoreEngineFactory factory([&f](pelkit::Overrides& overrides, pelkit::Journal& journal) {
        pelkit::EngineSeams seams;
        seams.scanRoots =
            std::vector<pelkit::ScanRoot>{{platform::Url::fromFilePath(f.applications().string()), false}};
        seams.clock = &f.engineClock;
        seams.http = f.http.get();
        seams.workspace = &f.workspace;
        seams.temporaryRoot = f.temporaryRoot();
        std::vector<std::shared_ptr<pelkit::UpdateSource>> sources{
            std::make_shared<pelkit::SparkleSource>(*f.http)};
        return std::make_unique<pelkit::Engine>(overrides, journal, std::move(sources), std::move(seams));
    });
    platform::ManualExecutor executor;
    pelapptest::RecordingUrlOpener urls;
    pelapp::AppModelSeams seams;
    seams.applicationsRoot = f.applications().string();
    seams.openProbe = [](const std::string&) { return 0; };
    pelapp::AppModel model(executor, factory, f.workspace, urls,
                           pelapp::AppInfo{"1.2.3", "45", "/opt/pelloran"}, seams);
    Ids statuses;
    model.addObserver([&](pelapp::ModelChange c) {
        if (pelapp::hasChange(c, pelapp::ModelChange::status)) statuses.push_back(model.statusMessage);
    });

    auto task = pelapp::MainTask::start(executor, model.bootstrap());
    ASSERT_TRUE(pelapptest::runUntil(executor, [&] { return task.isDone(); }));

    ASSERT_NE(model.engineApi(), nullptr);
    EXPECT_EQ(model.permissionStatus, pelkit::PermissionStatus::granted);
    EXPECT_FALSE(pelkit::DB::shared().getResolved("com.example.pad-setapp", 1e9));
    EXPECT_EQ(statuses, (Ids{"Scanning…", "Resolving latest versions…", "Resolved 1 / 4", "Resolved 2 / 4",
                             "Resolved 3 / 4", "Resolved 4 / 4", "Ready"}));
    ASSERT_EQ(model.rows.size(), 4u);
    EXPECT_EQ(model.skipped.size(), 1u);
    struct Expected {
        std::string id;
        Outcome outcome;
        std::optional<std::string> latest;
    };
    for (const Expected& e : {Expected{"com.example.alpha", Outcome::outdated, "2.0"},
                              Expected{"com.example.beta", Outcome::upToDate, "2.0"},
                              Expected{"com.example.gamma", Outcome::unresolved, std::nullopt},
                              Expected{"com.example.pad-setapp", Outcome::unsupported, "1.0"}}) {
        const pelapp::AppRow* row = model.findRow(e.id);
        ASSERT_NE(row, nullptr) << e.id;
        EXPECT_EQ(row->outcome, e.outcome) << e.id;
        EXPECT_EQ(row->remote ? std::optional(row->remote->version) : std::nullopt, e.latest) << e.id;
        EXPECT_FALSE(row->checking) << e.id;
        EXPECT_FALSE(row->errorCode) << e.id;
    }
    EXPECT_EQ(model.findRow("com.example.alpha")->bucketOverride, "minor");
    EXPECT_EQ(model.checkedIDs, std::set<std::string>{"com.example.alpha"});
    EXPECT_TRUE(model.isRunning("com.example.alpha", model.findRow("com.example.alpha")->app.path))
        << "a helper inside the bundle runs";

    // The journal of the factory's engine: the scan, then one resolution per row in row order.
    Ids names;
    Ids resolvedIDs;
    for (const auto& event : journalEvents(model.engineApi()->journal())) {
        names.push_back(event["event"]);
        if (event.contains("outcome") || event["event"] == "app_unresolved")
            resolvedIDs.push_back(event["bundleID"]);
        if (event["event"] == "run_started") {
            EXPECT_EQ(event["appsFound"], 4);
            EXPECT_EQ(event["skipped"], 1);
        }
        if (event["event"] == "app_ignored") {
            EXPECT_EQ(event["reason"], "override ignore: too loud");
        }
    }
    Ids rowOrder;
    Ids expected{"run_started", "app_scanned", "app_scanned", "app_scanned", "app_scanned", "app_ignored"};
    for (const auto& row : model.rows) {
        rowOrder.push_back(row.id);
        expected.push_back(row.id == "com.example.gamma" ? "app_unresolved" : "app_resolved");
    }
    EXPECT_EQ(names, expected);
    EXPECT_EQ(resolvedIDs, rowOrder);
}

} // namespace
