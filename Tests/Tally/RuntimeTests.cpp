#include "TallyTestSupport.hpp"
#include "Support/TempDir.hpp"
#include "Tally/AppEvents.hpp"
#include "Tally/DefaultsStore.hpp"
#include "Tally/Runtime.hpp"
#include "Tally/Vendor.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

using tally::AppEvent;
using tally::AppEvents;

TEST(AppEvents, PostCallsTheHandlersSubscribedAtThatMomentOnItsThread) {
    AppEvents hub;
    std::vector<std::string> calls;
    AppEvents::Subscription late;
    auto first = hub.subscribe(AppEvent::willTerminate, [&] {
        calls.push_back("first");
        EXPECT_EQ(std::this_thread::get_id(), std::this_thread::get_id());
        if (!late) late = hub.subscribe(AppEvent::willTerminate, [&] { calls.push_back("late"); });
    });
    auto other = hub.subscribe(AppEvent::didResignActive, [&] { calls.push_back("resign"); });
    hub.post(AppEvent::willTerminate);
    EXPECT_EQ(calls, std::vector<std::string>{"first"}); // "late" was not subscribed when the post began
    hub.post(AppEvent::willTerminate);
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "first", "late"}));
    hub.post(AppEvent::willBecomeActive);
    EXPECT_EQ(calls.size(), 3u);
    first.reset();
    hub.post(AppEvent::willTerminate);
    hub.post(AppEvent::didResignActive);
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "first", "late", "late", "resign"}));
}

TEST(AppEvents, TokenDestroyedInsideItsOwnHandler) {
    AppEvents hub;
    int calls = 0;
    auto token = std::make_unique<AppEvents::Subscription>();
    *token = hub.subscribe(AppEvent::didResignActive, [&] {
        ++calls;
        token.reset(); // unsubscribes from inside: must not wait for itself
    });
    hub.post(AppEvent::didResignActive);
    hub.post(AppEvent::didResignActive);
    EXPECT_EQ(calls, 1);
}

TEST(AppEvents, UnsubscribeWaitsForADeliveryOnAnotherThread) {
    AppEvents hub;
    std::promise<void> entered;
    std::promise<void> release;
    std::atomic<bool> handlerDone{false};
    auto token = hub.subscribe(AppEvent::willBecomeActive, [&] {
        entered.set_value();
        release.get_future().wait();
        handlerDone = true;
    });
    std::thread poster([&] { hub.post(AppEvent::willBecomeActive); });
    entered.get_future().wait();
    std::atomic<bool> unsubscribed{false};
    std::thread remover([&] {
        token.reset();
        unsubscribed = true;
        EXPECT_TRUE(handlerDone.load()); // the delivery had finished before reset returned
    });
    release.set_value();
    remover.join();
    poster.join();
    EXPECT_TRUE(unsubscribed.load());
}

TEST(AppEvents, SubscriptionOutlivingItsHub) {
    AppEvents::Subscription token;
    {
        AppEvents hub;
        token = hub.subscribe(AppEvent::willTerminate, [] {});
    }
    token.reset(); // nothing left to unsubscribe from
    EXPECT_FALSE(token);
}

TEST(DefaultsStore, HandlesOfOneSuiteShareTheirValues) {
    pelsupport::TempDir dir{"tally-defaults"};
    for (const auto& store : {tally::DefaultsStore::inMemory(), tally::DefaultsStore::inDirectory(dir.path())}) {
        auto a = store.suite("com.pelloran.tally.abc");
        auto b = store.suite("com.pelloran.tally.abc");
        auto other = store.suite("com.pelloran.tally.def");
        a.setString("defaultUserIdentifier", "U");
        a.setInteger("deletedSessionsCount", 3);
        a.setStringList("distinctDaysUsed", {"2024-05-01"});
        a.setBytes("recentSessions", {1, 2, 3});
        a.setBoolean("flag", true);
        EXPECT_EQ(b.string("defaultUserIdentifier"), "U");
        EXPECT_EQ(b.integer("deletedSessionsCount"), 3);
        EXPECT_EQ(b.stringList("distinctDaysUsed"), std::vector<std::string>{"2024-05-01"});
        EXPECT_EQ(b.bytes("recentSessions"), (std::vector<std::uint8_t>{1, 2, 3}));
        EXPECT_EQ(b.boolean("flag"), true);
        EXPECT_FALSE(b.integer("defaultUserIdentifier")); // another type reads as absent
        EXPECT_FALSE(other.string("defaultUserIdentifier"));
        b.remove("defaultUserIdentifier");
        EXPECT_FALSE(a.string("defaultUserIdentifier"));
        EXPECT_EQ(store.suite("com.pelloran.tally.abc").integer("deletedSessionsCount"), 3);
    }
    EXPECT_EQ(tally::DefaultsStore::inDirectory(dir.path()).suite("s").path(), dir.path() / "s.json");
    // A copy of an in-memory store shares its suites; another store does not.
    const auto store = tally::DefaultsStore::inMemory();
    const auto copy = store;
    store.suite("s").setString("k", "v");
    EXPECT_EQ(copy.suite("s").string("k"), "v");
    EXPECT_FALSE(tally::DefaultsStore::inMemory().suite("s").string("k"));
}

TEST(Runtime, CachesDirectoryFromTheEnvironment) {
    const struct {
        std::map<std::string, std::string> env;
        std::optional<std::string> expected;
    } cases[] = {
        {{{"XDG_CACHE_HOME", "/x/cache"}, {"HOME", "/home/u"}}, "/x/cache"},
        {{{"XDG_CACHE_HOME", ""}, {"HOME", "/home/u"}}, "/home/u/.cache"},
        {{{"XDG_CACHE_HOME", "relative"}, {"HOME", "/home/u"}}, "/home/u/.cache"},
        {{{"HOME", "/home/u"}}, "/home/u/.cache"},
        {{{"HOME", ""}}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const auto& c : cases) {
        auto lookup = [&](const std::string& name) -> std::optional<std::string> {
            auto it = c.env.find(name);
            if (it == c.env.end()) return std::nullopt;
            return it->second;
        };
        const auto dir = tally::defaultCachesDirectory(lookup);
        EXPECT_EQ(dir ? std::optional<std::string>(dir->string()) : std::nullopt, c.expected);
    }
}

TEST(Runtime, ResetFillsDefaultsAndLabelsSerialQueues) {
    std::vector<std::string> labels;
    auto executor = std::make_shared<platform::ManualExecutor>();
    tally::Runtime r;
    r.main = executor;
    r.utility = executor;
    r.makeSerialQueue = [&](const std::string& label) {
        labels.push_back(label);
        return executor;
    };
    r.environment = [](const std::string& name) -> std::optional<std::string> {
        if (name == "XCODE_RUNNING_FOR_PREVIEWS") return "1";
        return std::nullopt;
    };
    tally::testing::reset(r);
    const auto& rt = tally::runtime();
    EXPECT_EQ(rt.main, executor);
    EXPECT_TRUE(rt.clock);
    EXPECT_TRUE(rt.appEvents);
    EXPECT_TRUE(rt.defaults);
    EXPECT_TRUE(rt.logHandler);
    EXPECT_EQ(rt.logHandler->logLevel, tally::LogLevel::info);
    EXPECT_FALSE(rt.cachesDirectory); // tests never reach the real home
    EXPECT_EQ(tally::environmentValue("XCODE_RUNNING_FOR_PREVIEWS"), "1");
    EXPECT_EQ(tally::makeSerialQueue("SignalTimer"), executor);
    EXPECT_EQ(labels, std::vector<std::string>{"com.pelloran.tally.SignalTimer"});
    EXPECT_FALSE(tally::install(tally::Runtime{})); // installed once
    EXPECT_EQ(tally::runtime().main, executor);
}

namespace {
struct Counter {
    int value = 0;
};
tally::ProcessWide<Counter>& counters() {
    static auto* instance = new tally::ProcessWide<Counter>([] { return new Counter; });
    return *instance;
}
} // namespace

TEST(Runtime, ResetDrainsTheOldExecutorsAndRetiresProcessWideInstances) {
    tally::testing::reset(); // real threads: a serial queue "tally-main", a pool of two, serial queues
    Counter& before = counters().get();
    before.value = 7;
    std::atomic<int> finished{0};
    auto slow = [&finished] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        finished.fetch_add(1);
    };
    const auto& old = tally::runtime();
    auto queue = tally::makeSerialQueue("persistence");
    old.main->post([&, slow, utility = old.utility] {
        slow();
        utility->post(slow); // posted while draining: drained too
    });
    old.utility->post(slow);
    old.utility->post(slow);
    queue->post(slow);

    tallytest::VirtualRuntime next;
    next.install();
    EXPECT_EQ(finished.load(), 5);
    Counter& after = counters().get();
    EXPECT_NE(&after, &before);
    EXPECT_EQ(after.value, 0);
    EXPECT_EQ(before.value, 7); // leaked, never destroyed
}
