#include "PelApp/TallyBridge.hpp"
#include "Tally/CapturingPipeline.hpp"
#include "Tally/Tally.hpp"
#include "Tally/TallyTestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(TallyBridge, InitialisesTheClientForTheAppAndForwardsSignals) {
    tallytest::VirtualRuntime runtime;
    tallytest::CapturingPipelines pipelines;
    runtime.makePipeline = pipelines.factory();
    runtime.install();

    pelapp::TallyAnalyticsClient client;
    client.initialize("com.pelloran");
    client.signal("app.launched", {{"version", "1.2.3"}});
    runtime.executor->runPending();

    EXPECT_EQ(pipelines.creations(), 1);
    const auto signals = pipelines.signals();
    auto launched =
        std::find_if(signals.begin(), signals.end(), [](const auto& s) { return s.name == "app.launched"; });
    ASSERT_NE(launched, signals.end());
    EXPECT_EQ(launched->appID, "com.pelloran");
    EXPECT_EQ(launched->parameters.at("version"), "1.2.3");
    EXPECT_FALSE(launched->floatValue);
    EXPECT_FALSE(launched->customUserID);
    tally::Tally::terminate();
}

} // namespace
