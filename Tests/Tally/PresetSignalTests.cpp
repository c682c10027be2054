#include "SignalTestFixture.hpp"
#include "Tally/Modifiers/TrackNavigation.hpp"
#include "Tally/Presets/IdentifiableError.hpp"
#include "Tally/Presets/NavigationStatus.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

using tally::ErrorCategory;
using tally::NavigationStatus;
using tally::Parameters;
using tally::Tally;

namespace {

class PresetSignals : public tallytest::SignalTest {
protected:
    void SetUp() override {
        SignalTest::SetUp();
        NavigationStatus::shared().setPreviousNavigationPath(std::nullopt);
    }
};

struct PresetCase {
    const char* label;
    std::function<void()> send;
    std::string name;
    Parameters parameters;
    std::optional<double> floatValue = std::nullopt;
    std::optional<std::string> customUserID = std::nullopt;
};

TEST_F(PresetSignals, EachOperationSendsItsNameKeysAndValues) {
    const Parameters extra{{"plan", "pro"}};
    const std::vector<PresetCase> cases = {
        {"acquiredUser",
         [&] { Tally::acquiredUser("newsletter", extra, "u1"); },
         "Tally.Acquisition.userAcquired",
         {{"Tally.Acquisition.channel", "newsletter"}, {"plan", "pro"}},
         std::nullopt,
         "u1"},
        {"leadStarted",
         [] { Tally::leadStarted("L-1"); },
         "Tally.Acquisition.leadStarted",
         {{"Tally.Acquisition.leadID", "L-1"}}},
        {"leadConverted",
         [] { Tally::leadConverted("L-1"); },
         "Tally.Acquisition.leadConverted",
         {{"Tally.Acquisition.leadID", "L-1"}}},
        {"onboardingCompleted",
         [&] { Tally::onboardingCompleted(extra); },
         "Tally.Activation.onboardingCompleted",
         {{"plan", "pro"}}},
        {"coreFeatureUsed",
         [] { Tally::coreFeatureUsed("export"); },
         "Tally.Activation.coreFeatureUsed",
         {{"Tally.Activation.featureName", "export"}}},
        {"referralSent without kind",
         [] { Tally::referralSent(3); },
         "Tally.Referral.sent",
         {{"Tally.Referral.receiversCount", "3"}}},
        {"referralSent with kind",
         [] { Tally::referralSent(-2, "mail"); },
         "Tally.Referral.sent",
         {{"Tally.Referral.receiversCount", "-2"}, {"Tally.Referral.kind", "mail"}}},
        {"userRatingSubmitted 0",
         [] { Tally::userRatingSubmitted(0); },
         "Tally.Referral.userRatingSubmitted",
         {{"Tally.Referral.ratingValue", "0"}}},
        {"userRatingSubmitted 10 with comment",
         [] { Tally::userRatingSubmitted(10, "great"); },
         "Tally.Referral.userRatingSubmitted",
         {{"Tally.Referral.ratingValue", "10"}, {"Tally.Referral.ratingComment", "great"}}},
        {"paywallShown",
         [] { Tally::paywallShown("limit reached"); },
         "Tally.Revenue.paywallShown",
         {{"Tally.Revenue.paywallShowReason", "limit reached"}}},
        {"errorOccurred with id only",
         [] { Tally::errorOccurred("E-1"); },
         "Tally.Error.occurred",
         {{"Tally.Error.id", "E-1"}}},
        {"errorOccurred with everything; the caller's id wins",
         [] {
             Tally::errorOccurred("E-1", ErrorCategory::userInput, "bad date", {{"Tally.Error.id", "caller"}},
                                  2.5, "u2");
         },
         "Tally.Error.occurred",
         {{"Tally.Error.id", "caller"},
          {"Tally.Error.category", "user-input"},
          {"Tally.Error.message", "bad date"}},
         2.5,
         "u2"},
        {"identifiable exception: its description is the message",
         [] {
             Tally::errorOccurred(tally::withID(std::runtime_error("disk full"), "E-2"),
                                  ErrorCategory::appState, {}, 1.0);
         },
         "Tally.Error.occurred",
         {{"Tally.Error.id", "E-2"},
          {"Tally.Error.category", "app-state"},
          {"Tally.Error.message", "disk full"}},
         1.0},
        {"identifiable error code with no message",
         [] {
             const auto error =
                 tally::withID(std::make_error_code(std::errc::no_such_file_or_directory), "E-3");
             Tally::errorOccurred(error, ErrorCategory::thrownException, std::optional<std::string>{});
         },
         "Tally.Error.occurred",
         {{"Tally.Error.id", "E-3"}, {"Tally.Error.category", "thrown-exception"}}},
        {"identifiable error with a message of the caller",
         [] {
             const auto error =
                 tally::withID(std::make_error_code(std::errc::no_such_file_or_directory), "E-3");
             Tally::errorOccurred(error, ErrorCategory::thrownException, "shown", {{"k", "v"}}, 4.0, "u3");
         },
         "Tally.Error.occurred",
         {{"Tally.Error.id", "E-3"},
          {"Tally.Error.category", "thrown-exception"},
          {"Tally.Error.message", "shown"},
          {"k", "v"}},
         4.0,
         "u3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto before = pipelines.signals().size();
        c.send();
        const auto signals = pipelines.signals();
        ASSERT_EQ(signals.size(), before + 1);
        const auto& sent = signals.back();
        EXPECT_EQ(sent.name, c.name);
        EXPECT_EQ(sent.parameters, c.parameters);
        EXPECT_EQ(sent.floatValue, c.floatValue);
        EXPECT_EQ(sent.customUserID, c.customUserID);
    }
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(PresetSignals, PresetsGetNoConfiguredPrefixes) {
    config->setDefaultSignalPrefix("App.");
    config->setDefaultParameterPrefix("app.");
    Tally::leadStarted("L-1", {{"source", "ad"}});
    const auto sent = pipelines.signals().back();
    EXPECT_EQ(sent.name, "Tally.Acquisition.leadStarted");
    EXPECT_EQ(sent.parameters, (Parameters{{"Tally.Acquisition.leadID", "L-1"}, {"source", "ad"}}));
}

TEST_F(PresetSignals, RatingsOutsideZeroToTenAreRefusedWithALogLine) {
    for (const long long rating : {11LL, -1LL}) {
        Tally::userRatingSubmitted(rating, "comment");
    }
    EXPECT_TRUE(pipelines.signals().empty());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"ERROR Rating must be between 0 and 10",
                                                     "ERROR Rating must be between 0 and 10"}));
    config->setLogHandler(std::nullopt);
    Tally::userRatingSubmitted(42);
    EXPECT_TRUE(pipelines.signals().empty());
    EXPECT_EQ(log.lines().size(), 2U);
}

TEST(ErrorCategoryRaw, CaseSensitiveRoundTrip) {
    EXPECT_EQ(tally::errorCategoryFromRaw("user-input"), ErrorCategory::userInput);
    EXPECT_EQ(tally::errorCategoryFromRaw("User-Input"), std::nullopt);
    EXPECT_EQ(tally::errorCategoryFromRaw(""), std::nullopt);
    for (const auto category :
         {ErrorCategory::thrownException, ErrorCategory::userInput, ErrorCategory::appState}) {
        EXPECT_EQ(tally::errorCategoryFromRaw(tally::rawValue(category)), category);
    }
    EXPECT_EQ(tally::rawValue(ErrorCategory::thrownException), "thrown-exception");
    EXPECT_EQ(tally::rawValue(ErrorCategory::appState), "app-state");
}

TEST(AnyIdentifiableErrorTest, DescriptionIsTheWrappedErrorsOwn) {
    try {
        throw std::out_of_range("index 7");
    } catch (...) {
        const auto error = tally::withID(std::current_exception(), "E-9");
        EXPECT_EQ(error.id(), "E-9");
        EXPECT_EQ(error.localizedDescription(), "index 7");
    }
    const auto code = tally::withID(std::make_error_code(std::errc::permission_denied), "E-10");
    EXPECT_EQ(code.localizedDescription(), std::make_error_code(std::errc::permission_denied).message());
    EXPECT_EQ(std::get<std::error_code>(code.error()), std::errc::permission_denied);
    EXPECT_EQ(tally::withID(std::make_exception_ptr(42), "E-11").localizedDescription(), "");
    EXPECT_EQ(tally::withID(std::exception_ptr{}, "E-12").localizedDescription(), "");
}

std::vector<std::pair<std::string, std::string>>
sourcesAndDestinations(const tallytest::CapturingPipelines& p) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& signal : p.signals()) {
        EXPECT_EQ(signal.name, "Tally.Navigation.pathChanged");
        EXPECT_EQ(signal.parameters.at("Tally.Navigation.schemaVersion"), "1");
        const auto& from = signal.parameters.at("Tally.Navigation.sourcePath");
        const auto& to = signal.parameters.at("Tally.Navigation.destinationPath");
        EXPECT_EQ(signal.parameters.at("Tally.Navigation.identifier"), from + " -> " + to);
        EXPECT_EQ(signal.parameters.size(), 4U);
        out.emplace_back(from, to);
    }
    return out;
}

TEST_F(PresetSignals, NavigationNamesTheLastDestinationAsItsSource) {
    Tally::navigationPathChanged("A");
    Tally::navigate("B", std::optional<std::string>("u1"));
    Tally::navigationPathChanged("X", "Y");
    Tally::navigationPathChanged(std::string("Z"));
    Tally::navigate("P", std::string("Q"), "u2");
    tally::trackNavigation("Settings");
    tally::trackNavigation("Settings");
    tally::trackNavigation("Settings");
    using Pair = std::pair<std::string, std::string>;
    EXPECT_EQ(sourcesAndDestinations(pipelines), (std::vector<Pair>{{"", "A"},
                                                                    {"A", "B"},
                                                                    {"X", "Y"},
                                                                    {"Y", "Z"},
                                                                    {"P", "Q"},
                                                                    {"Q", "Settings"},
                                                                    {"Settings", "Settings"},
                                                                    {"Settings", "Settings"}}));
    const auto signals = pipelines.signals();
    EXPECT_EQ(signals[0].parameters.at("Tally.Navigation.identifier"), " -> A");
    EXPECT_EQ(signals[1].customUserID, "u1");
    EXPECT_EQ(signals[4].customUserID, "u2");
    EXPECT_EQ(signals[5].customUserID, std::nullopt);
    EXPECT_EQ(NavigationStatus::shared().previousNavigationPath(), "Settings");
}

// Calls `f` with `literal` as each kind of text a caller may hold.
template <std::size_t N, class F> void forEachTextKind(const char (&literal)[N], F&& f) {
    std::string string = literal;
    const std::string constString = literal;
    const std::string_view view = literal;
    const char* pointer = literal;
    f(string);
    f(constString);
    f(std::string(literal));
    f(view);
    f(pointer);
    f(literal);
}

TEST_F(PresetSignals, TwoTextsOfAnyKindMeanFromAndTo) {
    int calls = 0;
    forEachTextKind("from", [&](const auto& from) {
        forEachTextKind("to", [&](const auto& to) {
            Tally::navigationPathChanged(from, to);
            Tally::navigate(from, to);
            calls += 2;
        });
    });
    std::string from = "from";
    std::string to = "to";
    std::optional<std::string> user = "u";
    Tally::navigationPathChanged(from, to, user);
    Tally::navigate(from, to, "u");
    calls += 2;
    using Pair = std::pair<std::string, std::string>;
    EXPECT_EQ(sourcesAndDestinations(pipelines),
              std::vector<Pair>(static_cast<std::size_t>(calls), {"from", "to"}));
    const auto signals = pipelines.signals();
    ASSERT_EQ(signals.size(), 6u * 6u * 2u + 2u);
    EXPECT_EQ(signals[0].customUserID, std::nullopt);
    EXPECT_EQ(signals[signals.size() - 2].customUserID, "u");
    EXPECT_EQ(signals.back().customUserID, "u");
}

TEST_F(PresetSignals, OnlyAnOptionalSecondArgumentIsTheUser) {
    std::optional<std::string> user = "u";
    const std::optional<std::string> none;
    std::string to = "B";
    Tally::navigationPathChanged("A", std::nullopt);
    Tally::navigationPathChanged(to, user);
    Tally::navigate(std::string("C"), none);
    Tally::navigate("D", std::optional<std::string>("v"));
    using Pair = std::pair<std::string, std::string>;
    EXPECT_EQ(sourcesAndDestinations(pipelines),
              (std::vector<Pair>{{"", "A"}, {"A", "B"}, {"B", "C"}, {"C", "D"}}));
    const auto signals = pipelines.signals();
    ASSERT_EQ(signals.size(), 4u);
    EXPECT_EQ(signals[0].customUserID, std::nullopt);
    EXPECT_EQ(signals[1].customUserID, "u");
    EXPECT_EQ(signals[2].customUserID, std::nullopt);
    EXPECT_EQ(signals[3].customUserID, "v");
}

TEST_F(PresetSignals, ConcurrentNavigationKeepsOneChainOfPaths) {
    constexpr int kThreads = 8;
    constexpr int kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) {
                Tally::navigationPathChanged("view-" + std::to_string(t) + "-" + std::to_string(i));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto pairs = sourcesAndDestinations(pipelines);
    ASSERT_EQ(pairs.size(), static_cast<std::size_t>(kThreads * kEach));
    std::set<std::string> destinations;
    for (const auto& [from, to] : pairs) {
        destinations.insert(to);
    }
    std::set<std::string> sources;
    int empty = 0;
    for (const auto& [from, to] : pairs) {
        if (from.empty()) {
            ++empty;
            continue;
        }
        EXPECT_TRUE(sources.insert(from).second) << "two signals share the source " << from;
        EXPECT_TRUE(destinations.contains(from)) << from;
    }
    EXPECT_EQ(empty, 1);
}

} // namespace
