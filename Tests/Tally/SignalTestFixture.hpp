#pragma once

#include "CapturingPipeline.hpp"
#include "Tally/Tally.hpp"
#include "TallyTestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace tallytest {

// An installed client over the capturing pipeline in virtual time, with neither session statistics nor
// session signals, so the captured signals are only the ones a test sends.
class SignalTest : public ::testing::Test {
protected:
    void SetUp() override {
        rt.makePipeline = pipelines.factory();
        rt.logHandler = fallbackLog.handler();
        rt.install();
        config = std::make_shared<tally::TelemetryManagerConfiguration>("com.pelloran");
        config->setLogHandler(log.handler());
        config->setSessionStatsEnabled(false);
        config->setSendNewSessionBeganSignal(false);
        tally::Tally::initialize(config);
    }
    void TearDown() override { tally::Tally::terminate(); }

    // A fresh client with a fresh store and pipeline, for the next row of a table.
    void restart() {
        TearDown();
        pipelines = {};
        rt.defaults = tally::DefaultsStore::inMemory();
        SetUp();
    }

    // Runs what is due on the one executor (the persistence queue's writes among it).
    void drain() { rt.executor->runPending(); }
    // Sets the virtual clock to `seconds` after the runtime's start.
    void at(double seconds) {
        rt.clock->set(start + std::chrono::duration_cast<platform::TimePoint::duration>(
                                  std::chrono::duration<double>(seconds)));
    }

    VirtualRuntime rt;
    const platform::TimePoint start = rt.clock->now();
    CapturingPipelines pipelines;
    CapturedLog log;
    CapturedLog fallbackLog;
    std::shared_ptr<tally::TelemetryManagerConfiguration> config;
};

} // namespace tallytest
