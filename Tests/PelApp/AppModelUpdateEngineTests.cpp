#include "PelApp/AppModelTestAccess.hpp"
#include "PelApp/FakeEngine.hpp"
#include "PelApp/RunUntil.hpp"
#include "Support/ScriptedWorkspace.hpp"
#include "Support/UpdateFixture.hpp"

#include <gtest/gtest.h>

namespace {

using pelsupport::BundleBuilder;
using pelsupport::Reply;
using pelsupport::UpdateFixture;

// The model over the core engine of an end-to-end fixture: real download, real cancellation.
TEST(UpdateOverTheCoreEngine, ACancelledDownloadEndsAsCancelledAndLeavesTheInstalledBundle) {
    UpdateFixture f;
    const auto app = f.installApp(BundleBuilder("Foo.app")
                                      .bundleID("com.example.foo")
                                      .name("Foo")
                                      .shortVersion("1.0")
                                      .buildVersion("1"));
    std::string bytes(200'000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    pelsupport::writeText(f.dir / "built/Big.zip", bytes);
    const auto remote = f.publish(f.dir / "built/Big.zip", "/dl/Big.zip", "2.0");
    Reply stall = Reply::fromFile(f.dir / "built/Big.zip");
    stall.stallAfter = 30'000;
    f.server.script("/dl/Big.zip", {stall});
    const auto installedBefore = UpdateFixture::snapshot(f.applications());

    pelapp::CoreEngine core(*f.engine);
    pelapptest::FakeEngineFactory factory(core);
    pelsupport::ScriptedWorkspace workspace;
    platform::ManualExecutor executor;
    pelapptest::RecordingUrlOpener urls;
    pelapp::AppModel model(executor, factory, workspace, urls,
                           pelapp::AppInfo{"1.2.3", "45", "/opt/pelloran"});
    pelapp::AppModelTestAccess::engine(model) = &core;
    auto row = pelapp::AppRow::scanned(app, std::nullopt);
    row.outcome = pelkit::Outcome::outdated;
    row.remote = remote;
    model.rows.push_back(row);

    model.updateOne(row, false);
    ASSERT_TRUE(pelapptest::runUntil(executor, [&] {
        auto it = model.bytesDone.find("com.example.foo");
        return it != model.bytesDone.end() && it->second >= 30'000;
    }));
    EXPECT_EQ(model.bytesTotal["com.example.foo"], 200'000);
    model.cancelOne("com.example.foo");
    ASSERT_TRUE(pelapptest::runUntil(executor, [&] { return !model.runningUpdate; }));
    executor.advance(std::chrono::seconds(1));

    const auto* done = model.findRow("com.example.foo");
    EXPECT_EQ(done->progressText, "cancelled");
    EXPECT_FALSE(done->updating);
    EXPECT_EQ(done->outcome, pelkit::Outcome::outdated);
    EXPECT_FALSE(done->errorCode);
    EXPECT_EQ(model.updateLog.front(), "→ Foo 1.0 → 2.0");
    EXPECT_EQ(model.updateLog.back(), "✗ Foo: cancelled");
    EXPECT_EQ(UpdateFixture::snapshot(f.applications()), installedBefore);
}

} // namespace
