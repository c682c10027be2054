#include "CapturingPipeline.hpp"
#include "Platform/Json.hpp"
#include "Tally/SessionManager.hpp"
#include "Tally/Tally.hpp"
#include "TallyTestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using tally::AppEvent;
using tally::SessionManager;
using tally::StoredSession;

namespace {

constexpr auto kDay = std::chrono::seconds{86'400};

// 2024-05-01 20:00:00 UTC: already 2024-05-02 in the fixed zone (UTC+10).
const platform::TimePoint kNow{std::chrono::seconds{1'714'593'600}};

class Sessions : public ::testing::Test {
protected:
    void SetUp() override {
        rt.clock->set(kNow);
        rt.makePipeline = pipelines.factory();
        rt.install();
        auto config = std::make_shared<tally::TelemetryManagerConfiguration>("com.pelloran");
        config->setSessionStatsEnabled(false);
        config->setSendNewSessionBeganSignal(false);
        config->setLogHandler(std::nullopt);
        tally::Tally::initialize(config);
    }
    void TearDown() override { tally::Tally::terminate(); }

    void storeSessions(const std::vector<StoredSession>& sessions) {
        const auto text = tally::encodeStoredSessions(sessions);
        store.setBytes("recentSessions", std::vector<std::uint8_t>(text.begin(), text.end()));
    }
    void storeText(const std::string& text) {
        store.setBytes("recentSessions", std::vector<std::uint8_t>(text.begin(), text.end()));
    }
    std::string storedText() const {
        const auto bytes = store.bytes("recentSessions");
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    }
    std::vector<StoredSession> storedSessions() const {
        return tally::decodeStoredSessions(storedText()).value_or(std::vector<StoredSession>{});
    }
    void run() { rt.executor->runPending(); }
    void advance(std::chrono::nanoseconds d) { rt.executor->advance(d); }
    void post(AppEvent event) { rt.appEvents->post(event); }

    tallytest::ScopedTimeZone zone{"XST-10"};
    tallytest::VirtualRuntime rt;
    tallytest::CapturingPipelines pipelines;
    platform::Defaults store = platform::Defaults::inMemory();
};

TEST_F(Sessions, FirstLaunchRecordsTheDayAndReportsANewInstall) {
    SessionManager sessions(store);
    run();
    EXPECT_EQ(store.stringList("distinctDaysUsed"), std::vector<std::string>{"2024-05-02"});
    EXPECT_FALSE(store.contains("deletedSessionsCount"));
    EXPECT_FALSE(store.contains("firstSessionDate"));
    EXPECT_EQ(sessions.totalSessionsCount(), 0);
    EXPECT_EQ(sessions.averageSessionSeconds(), -1);

    sessions.startNewSession();
    run();
    EXPECT_EQ(store.string("firstSessionDate"), "2024-05-02");
    const auto signals = pipelines.signals();
    ASSERT_EQ(signals.size(), 1u);
    EXPECT_EQ(signals[0].name, "Tally.Acquisition.newInstallDetected");
    EXPECT_EQ(signals[0].parameters,
              (tally::Parameters{{"Tally.Acquisition.firstSessionDate", "2024-05-02"}}));
    EXPECT_FALSE(signals[0].floatValue);
    EXPECT_FALSE(signals[0].customUserID);

    advance(3s);
    EXPECT_EQ(storedSessions(), (std::vector<StoredSession>{{kNow, 3}}));
    EXPECT_EQ(sessions.totalSessionsCount(), 1);
    EXPECT_EQ(sessions.averageSessionSeconds(), 3);
    // A later session is no new install.
    sessions.startNewSession();
    EXPECT_EQ(pipelines.signals().size(), 1u);
}

TEST_F(Sessions, SessionsOlderThanNinetyDaysArePrunedOnceAndCounted) {
    storeSessions({{kNow - 91 * kDay, 10}, {kNow - 90 * kDay, 15}, {kNow - 89 * kDay, 20}});
    store.setInteger("deletedSessionsCount", 4);
    SessionManager sessions(store);
    EXPECT_EQ(sessions.recentSessions(), (std::vector<StoredSession>{{kNow - 89 * kDay, 20}}));
    run();
    EXPECT_EQ(store.integer("deletedSessionsCount"), 6);
    EXPECT_EQ(storedSessions(), (std::vector<StoredSession>{{kNow - 89 * kDay, 20}}));
    EXPECT_EQ(sessions.totalSessionsCount(), 7);
}

TEST_F(Sessions, APrunedListIsWrittenWithItsCountEvenWithoutASession) {
    storeSessions({{kNow - 91 * kDay, 10}});
    for (int launch = 0; launch < 2; ++launch) {
        SessionManager sessions(store);
        run();
    }
    EXPECT_EQ(store.integer("deletedSessionsCount"), 1);
    EXPECT_TRUE(storedSessions().empty());
    EXPECT_EQ(storedText(), "[]");
}

TEST_F(Sessions, AUserAwayMoreThanNinetyDaysCountsAsANewInstall) {
    storeSessions({{kNow - 91 * kDay, 10}});
    store.setString("firstSessionDate", "2023-01-01");
    SessionManager sessions(store);
    sessions.startNewSession();
    run();
    EXPECT_EQ(store.string("firstSessionDate"), "2024-05-02");
    EXPECT_EQ(pipelines.count("Tally.Acquisition.newInstallDetected"), 1u);
    EXPECT_EQ(sessions.totalSessionsCount(), 1);
}

TEST_F(Sessions, EachLocalDayIsRecordedOnceAtStart) {
    store.setStringList("distinctDaysUsed", {"2024-04-30", "2024-05-02"});
    { SessionManager sameDay(store); }
    run();
    EXPECT_EQ(store.stringList("distinctDaysUsed"), (std::vector<std::string>{"2024-04-30", "2024-05-02"}));

    rt.clock->set(kNow + 18h); // 2024-05-03 00:00 local, still 2024-05-02 in UTC
    { SessionManager nextDay(store); }
    run();
    EXPECT_EQ(store.stringList("distinctDaysUsed"),
              (std::vector<std::string>{"2024-04-30", "2024-05-02", "2024-05-03"}));
    tally::SessionManager reader(store);
    EXPECT_EQ(reader.distinctDaysUsed().size(), 3u);
}

TEST_F(Sessions, InactiveTimeIsNotCounted) {
    SessionManager sessions(store);
    sessions.startNewSession();
    advance(60s);
    post(AppEvent::didResignActive);
    advance(600s);
    post(AppEvent::willBecomeActive);
    advance(60s);
    const auto stored = storedSessions();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].startedAt, kNow);
    EXPECT_GE(stored[0].durationInSeconds, 119);
    EXPECT_LE(stored[0].durationInSeconds, 121);
}

TEST_F(Sessions, BecomeActiveBeforeASessionDoesNothing) {
    SessionManager sessions(store);
    post(AppEvent::willBecomeActive);
    advance(5s);
    EXPECT_FALSE(store.contains("recentSessions"));
    EXPECT_TRUE(sessions.recentSessions().empty());
}

TEST_F(Sessions, ARepeatedBecomeActiveLeavesNoTimerBehindAfterResigning) {
    SessionManager sessions(store);
    sessions.startNewSession();
    advance(5s);
    post(AppEvent::willBecomeActive);
    post(AppEvent::willBecomeActive);
    advance(5s);
    post(AppEvent::didResignActive);
    run();
    const auto atResign = storedSessions();
    ASSERT_EQ(atResign.size(), 1u);
    EXPECT_EQ(atResign[0].durationInSeconds, 10);
    advance(60s);
    EXPECT_EQ(storedSessions(), atResign);
}

TEST_F(Sessions, ASessionUnderOneSecondIsNeverStored) {
    SessionManager sessions(store);
    sessions.startNewSession();
    advance(900ms);
    sessions.startNewSession();
    const auto second = rt.clock->now();
    advance(900ms);
    EXPECT_FALSE(store.contains("recentSessions"));
    advance(200ms);
    EXPECT_EQ(sessions.recentSessions(), (std::vector<StoredSession>{{second, 1}}));
    EXPECT_EQ(storedSessions(), (std::vector<StoredSession>{{kNow, 1}})); // 0.9 s past kNow, stored whole
    // Neither short session made the list non-empty, so both starts counted as new installs.
    EXPECT_EQ(pipelines.count("Tally.Acquisition.newInstallDetected"), 2u);
}

TEST_F(Sessions, AverageLeavesTheLastSessionOut) {
    struct Case {
        std::vector<std::int64_t> durations;
        std::int64_t average;
    };
    for (const auto& c : {Case{{30, 60, 5}, 45}, Case{{30}, 30}, Case{{}, -1}, Case{{7, 8, 100}, 7}}) {
        std::vector<StoredSession> list;
        for (std::size_t i = 0; i < c.durations.size(); ++i) {
            list.push_back({kNow - std::chrono::hours(10 - static_cast<int>(i)), c.durations[i]});
        }
        storeSessions(list);
        SessionManager sessions(store);
        EXPECT_EQ(sessions.averageSessionSeconds(), c.average) << c.durations.size();
    }
}

TEST_F(Sessions, AFractionalStartIsReadAndWrittenBackWhole) {
    storeText(R"([{"st":1714500000.75,"dn":3}])");
    SessionManager sessions(store);
    ASSERT_EQ(sessions.recentSessions().size(), 1u);
    EXPECT_EQ(sessions.recentSessions()[0].startedAt,
              platform::TimePoint{std::chrono::milliseconds{1'714'500'000'750}});
    sessions.startNewSession();
    advance(1s);
    const auto written = platform::Json::parse(storedText());
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(written[0]["st"].is_number_integer());
    EXPECT_EQ(written[0]["st"], 1714500000);
    EXPECT_EQ(written[0]["dn"], 3);
    EXPECT_EQ(written[1]["st"], 1714593600);
}

TEST_F(Sessions, StoredListsThatAreNotSessionListsReadAsEmpty) {
    for (const char* text :
         {"", "{}", "[1]", R"([{"st":1}])", R"([{"st":1,"dn":1.5}])", R"([{"st":"1","dn":1}])",
          R"([{"st":1e300,"dn":1}])", R"([{"st":1,"dn":18446744073709551615}])"}) {
        EXPECT_FALSE(tally::decodeStoredSessions(text)) << text;
    }
    storeText("not json");
    SessionManager sessions(store);
    run();
    EXPECT_TRUE(sessions.recentSessions().empty());
    EXPECT_EQ(storedText(), "not json"); // kept until the running session is saved
    EXPECT_FALSE(store.contains("deletedSessionsCount"));
    sessions.startNewSession();
    advance(1s);
    EXPECT_EQ(storedSessions().size(), 1u);
}

TEST_F(Sessions, WithoutAStoreNothingIsKept) {
    tally::Tally::terminate(); // no customDefaults either
    SessionManager sessions;
    sessions.startNewSession();
    advance(2s);
    EXPECT_TRUE(sessions.recentSessions().size() == 1u);
    EXPECT_EQ(sessions.totalSessionsCount(), 1);
    EXPECT_TRUE(sessions.distinctDaysUsed().empty());
    EXPECT_FALSE(sessions.store());
}

TEST_F(Sessions, SharedInstanceUsesTheInstalledManagersSuite) {
    auto& shared = SessionManager::shared();
    run();
    auto suite = tally::Tally::customDefaults();
    ASSERT_TRUE(suite);
    EXPECT_EQ(suite->stringList("distinctDaysUsed"), std::vector<std::string>{"2024-05-02"});
    EXPECT_EQ(shared.distinctDaysUsed(), std::vector<std::string>{"2024-05-02"});
}

TEST(SessionDates, CountISODatesOnOrAfter) {
    EXPECT_EQ(
        SessionManager::countISODatesOnOrAfter({"2024-01-30", "2024-02-01", "2024-02-02"}, "2024-02-01"), 2);
    EXPECT_EQ(SessionManager::countISODatesOnOrAfter({}, "2024-02-01"), 0);
}

} // namespace
