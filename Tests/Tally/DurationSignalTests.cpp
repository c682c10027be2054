#include "SignalTestFixture.hpp"
#include "Tally/Signals/DurationSignalTracker.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using tally::AppEvent;
using tally::DurationSignalTracker;
using tally::Parameters;
using tally::Tally;

namespace {

const std::string kDuration = "Tally.Signal.durationInSeconds";

class DurationSignals : public tallytest::SignalTest {
protected:
    void SetUp() override {
        SignalTest::SetUp();
        // Made now, so it hears the activity events a case posts before its first start.
        DurationSignalTracker::shared();
    }
};

enum class Op { start, startIncluding, stop, cancel, resign, activate };
struct Step {
    double at;
    Op op;
    Parameters parameters = {};
};
struct Sent {
    std::string durationText;
    Parameters extra = {};
};
struct DurationCase {
    const char* label;
    std::vector<Step> steps;
    std::vector<Sent> sent;
};

TEST_F(DurationSignals, TimersAcrossStartsStopsAndActivityChanges) {
    const std::vector<DurationCase> cases = {
        {"never started", {{5, Op::stop}, {6, Op::cancel}}, {}},
        {"stopped twice", {{0, Op::start}, {5, Op::stop}, {6, Op::stop}}, {{"5.0"}}},
        {"cancelled", {{0, Op::start}, {3, Op::cancel}, {5, Op::stop}}, {}},
        {"restarted",
         {{0, Op::start, {{"first", "1"}}}, {10, Op::start, {{"second", "2"}}}, {15, Op::stop}},
         {{"5.0", {{"second", "2"}}}}},
        {"background included",
         {{0, Op::startIncluding}, {10, Op::resign}, {40, Op::activate}, {50, Op::stop}},
         {{"50.0"}}},
        {"an excluded 30 s period",
         {{0, Op::start}, {10, Op::resign}, {40, Op::activate}, {50, Op::stop}},
         {{"20.0"}}},
        {"several resigns: the last one starts the period",
         {{0, Op::start}, {10, Op::resign}, {30, Op::resign}, {40, Op::activate}, {50, Op::stop}},
         {{"40.0"}}},
        {"become active without a resign", {{0, Op::start}, {5, Op::activate}, {10, Op::stop}}, {{"10.0"}}},
        {"started while inactive loses only its own inactive part",
         {{0, Op::resign}, {20, Op::start}, {30, Op::activate}, {40, Op::stop}},
         {{"10.0"}}},
        {"stopped while inactive, background excluded",
         {{0, Op::start}, {10, Op::resign}, {25, Op::stop}},
         {{"10.0"}}},
        {"stopped while inactive, background included",
         {{0, Op::startIncluding}, {10, Op::resign}, {25, Op::stop}},
         {{"25.0"}}},
        {"started and stopped within one inactive period",
         {{0, Op::resign}, {5, Op::start}, {9, Op::stop}},
         {{"0.0"}}},
        {"clock set back", {{100, Op::start}, {90, Op::stop}}, {{"0.0"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        restart();
        for (const auto& step : c.steps) {
            at(step.at);
            switch (step.op) {
            case Op::start:
                Tally::startDurationSignal("timer", step.parameters, false);
                break;
            case Op::startIncluding:
                Tally::startDurationSignal("timer", step.parameters, true);
                break;
            case Op::stop:
                Tally::stopAndSendDurationSignal("timer");
                break;
            case Op::cancel:
                Tally::cancelDurationSignal("timer");
                break;
            case Op::resign:
                rt.appEvents->post(AppEvent::didResignActive);
                break;
            case Op::activate:
                rt.appEvents->post(AppEvent::willBecomeActive);
                break;
            }
        }
        const auto signals = pipelines.signals();
        ASSERT_EQ(signals.size(), c.sent.size());
        for (std::size_t i = 0; i < signals.size(); ++i) {
            EXPECT_EQ(signals[i].name, "timer");
            Parameters expected = c.sent[i].extra;
            expected[kDuration] = c.sent[i].durationText;
            EXPECT_EQ(signals[i].parameters, expected);
        }
    }
}

TEST_F(DurationSignals, TimersOfDifferentNamesRunApart) {
    at(0);
    Tally::startDurationSignal("a", {}, false);
    at(4);
    Tally::startDurationSignal("b", {}, true);
    at(6);
    rt.appEvents->post(AppEvent::didResignActive);
    at(16);
    rt.appEvents->post(AppEvent::willBecomeActive);
    at(20);
    Tally::stopAndSendDurationSignal("b");
    Tally::stopAndSendDurationSignal("a");
    const auto signals = pipelines.signals();
    ASSERT_EQ(signals.size(), 2U);
    EXPECT_EQ(signals[0].name, "b");
    EXPECT_EQ(signals[0].parameters.at(kDuration), "16.0");
    EXPECT_EQ(signals[1].name, "a");
    EXPECT_EQ(signals[1].parameters.at(kDuration), "10.0");
}

TEST_F(DurationSignals, StopParametersWinOverStartParametersWhichWinOverTheMeasuredText) {
    at(0);
    Tally::startDurationSignal("plain", {{"screen", "start"}, {"kept", "yes"}}, false);
    Tally::startDurationSignal("fixed", {{kDuration, "from start"}}, false);
    at(3.2574);
    Tally::stopAndSendDurationSignal("plain", {{"screen", "stop"}}, 1.5, "user-7");
    Tally::stopAndSendDurationSignal("fixed", {}, std::nullopt, std::nullopt);
    Tally::startDurationSignal("fixed", {{kDuration, "from start"}}, false);
    Tally::stopAndSendDurationSignal("fixed", {{kDuration, "from stop"}});

    const auto signals = pipelines.signals();
    ASSERT_EQ(signals.size(), 3U);
    EXPECT_EQ(signals[0].parameters, (Parameters{{kDuration, "3.257"}, {"screen", "stop"}, {"kept", "yes"}}));
    EXPECT_EQ(signals[0].floatValue, 1.5);
    EXPECT_EQ(signals[0].customUserID, "user-7");
    EXPECT_EQ(signals[1].parameters.at(kDuration), "from start");
    EXPECT_EQ(signals[1].floatValue, std::nullopt);
    EXPECT_EQ(signals[1].customUserID, std::nullopt);
    EXPECT_EQ(signals[2].parameters.at(kDuration), "from stop");
}

TEST_F(DurationSignals, TheSendHappensOutsideTheTrackersLock) {
    // A receiver that starts another timer from inside the send would wait forever on a held lock.
    pipelines.setHook([](const tallytest::CapturedSignal& signal) {
        if (signal.name == "outer") Tally::startDurationSignal("inner", {}, false);
    });
    at(0);
    Tally::startDurationSignal("outer", {}, false);
    at(1);
    Tally::stopAndSendDurationSignal("outer");
    at(3);
    Tally::stopAndSendDurationSignal("inner");
    const auto signals = pipelines.signals();
    ASSERT_EQ(signals.size(), 2U);
    EXPECT_EQ(signals[1].name, "inner");
    EXPECT_EQ(signals[1].parameters.at(kDuration), "2.0");
}

TEST(DurationText, FlooredToMillisecondsWithAPoint) {
    const std::vector<std::pair<double, std::string>> table = {
        {2.0004, "2.0"},  {59.9999, "59.999"}, {0.0004, "0.0"},      {12, "12.0"}, {3.2574, "3.257"},
        {0.001, "0.001"}, {0.0, "0.0"},        {86400.5, "86400.5"}, {1.1, "1.1"},
    };
    for (const auto& [seconds, text] : table) {
        EXPECT_EQ(tally::durationText(seconds), text) << seconds;
    }
}

TEST_F(DurationSignals, MeasuredDurationsAreFlooredToMilliseconds) {
    const std::vector<std::pair<double, std::string>> table = {
        {2.0004, "2.0"}, {59.9999, "59.999"}, {0.0004, "0.0"}, {12, "12.0"}};
    for (const auto& [seconds, text] : table) {
        at(0);
        Tally::startDurationSignal("t", {}, true);
        at(seconds);
        Tally::stopAndSendDurationSignal("t");
        EXPECT_EQ(pipelines.signals().back().parameters.at(kDuration), text) << seconds;
    }
}

} // namespace
