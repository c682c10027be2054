#include "ScriptedTransactionUpdates.hpp"
#include "SignalTestFixture.hpp"
#include "Tally/Helpers/TelemetryEncoder.hpp"
#include "Tally/Presets/TrialConversionTracker.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using tally::OfferPaymentMode;
using tally::OfferType;
using tally::Parameters;
using tally::ProductType;
using tally::StoredTrial;
using tally::Tally;
using tally::Transaction;
using tally::TrialConversionTracker;
using tally::VerificationResult;

namespace {

const std::string kLastTrial = "lastTrial";

Transaction trialTransaction(std::string productID = "pro.monthly", std::uint64_t originalID = 1001) {
    Transaction t;
    t.productID = std::move(productID);
    t.originalID = originalID;
    t.productType = ProductType::autoRenewable;
    t.offerType = OfferType::introductory;
    t.offerPaymentMode = OfferPaymentMode::freeTrial;
    t.price = 0;
    t.currency = "EUR";
    t.storefrontCountryCode = "DEU";
    t.subscriptionGroupID = "group-1";
    return t;
}

// The renewal after the trial: same product and original identifier, paid, no offer.
Transaction paidRenewal(std::string productID = "pro.monthly", std::uint64_t originalID = 1001) {
    Transaction t = trialTransaction(std::move(productID), originalID);
    t.offerType.reset();
    t.offerPaymentMode.reset();
    t.price = 9.99;
    return t;
}

class PurchaseSignals : public tallytest::SignalTest {
protected:
    void SetUp() override {
        store = {};
        TrialConversionTracker::setTransactionUpdatesSource(store.source());
        SignalTest::SetUp();
    }
    void TearDown() override {
        // Ends every observation thread before the next test's runtime.
        store.finish();
        EXPECT_TRUE(store.waitForReaders(0));
        TrialConversionTracker::setTransactionUpdatesSource(nullptr);
        SignalTest::TearDown();
    }

    std::optional<std::string> lastTrialText() {
        const auto bytes = Tally::customDefaults()->bytes(kLastTrial);
        if (!bytes) return std::nullopt;
        return std::string(bytes->begin(), bytes->end());
    }
    void storeLastTrial(const std::string& text) {
        Tally::customDefaults()->setBytes(kLastTrial, std::vector<std::uint8_t>(text.begin(), text.end()));
    }
    // Pushes `update`, waits until the observations have handled it, then runs the queued writes.
    void deliver(VerificationResult update) {
        store.push(std::move(update));
        ASSERT_TRUE(store.waitUntilIdle());
        drain();
    }
    std::size_t count(const std::string& name) const { return pipelines.count(name); }

    tallytest::ScriptedTransactionUpdates store;
};

TEST_F(PurchaseSignals, FreeTrialDecision) {
    struct Row {
        ProductType type;
        std::optional<OfferType> offer;
        std::optional<double> price;
    };
    std::vector<Row> rows;
    for (const auto type : {ProductType::autoRenewable, ProductType::nonConsumable}) {
        for (const auto offer :
             {std::optional<OfferType>(OfferType::introductory), std::optional<OfferType>()}) {
            for (const auto price :
                 {std::optional<double>(), std::optional<double>(0.0), std::optional<double>(4.99)}) {
                rows.push_back({type, offer, price});
            }
        }
    }
    rows.push_back({ProductType::nonRenewable, OfferType::introductory, 0.0});
    rows.push_back({ProductType::autoRenewable, OfferType::promotional, 0.0});

    for (const auto& row : rows) {
        std::ostringstream label;
        label << "type " << static_cast<int>(row.type) << ", introductory "
              << (row.offer == OfferType::introductory) << ", price "
              << (row.price ? std::to_string(*row.price) : "absent");
        SCOPED_TRACE(label.str());
        restart();
        Transaction t = trialTransaction();
        t.productType = row.type;
        t.offerType = row.offer;
        t.price = row.price;
        t.currency = "USD";
        Tally::purchaseCompleted(t, {{"campaign", "spring"}}, "buyer");
        drain();

        const bool trial = row.type == ProductType::autoRenewable && row.offer == OfferType::introductory &&
                           row.price.value_or(0) == 0;
        const auto signals = pipelines.signals();
        ASSERT_EQ(signals.size(), 1U);
        EXPECT_EQ(signals[0].name, trial ? "Tally.Purchase.freeTrialStarted" : "Tally.Purchase.completed");
        EXPECT_EQ(signals[0].floatValue, trial ? std::nullopt : std::optional<double>(row.price.value_or(0)));
        EXPECT_EQ(signals[0].customUserID, "buyer");
        EXPECT_EQ(signals[0].parameters.at("campaign"), "spring");
        EXPECT_EQ(lastTrialText(), trial ? std::optional<std::string>(
                                               R"({"originalTransactionID":1001,"productID":"pro.monthly"})")
                                         : std::nullopt);
        EXPECT_TRUE(store.waitForReaders(trial ? 1 : 0));
    }
}

TEST(TransactionOffer, IsFreeTrialReadsTheOfferAndItsPaymentMode) {
    using Mode = std::optional<std::variant<OfferPaymentMode, std::string>>;
    struct Row {
        std::optional<OfferType> offer;
        Mode mode;
        bool expected;
    };
    const std::vector<Row> rows = {
        {OfferType::introductory, OfferPaymentMode::freeTrial, true},
        {OfferType::introductory, std::string("FREE_TRIAL"), true},
        {OfferType::introductory, std::string("free_trial"), false},
        {OfferType::introductory, std::string("PAY_AS_YOU_GO"), false},
        {OfferType::introductory, OfferPaymentMode::payUpFront, false},
        {OfferType::introductory, std::nullopt, false},
        {OfferType::promotional, OfferPaymentMode::freeTrial, false},
        {std::nullopt, OfferPaymentMode::freeTrial, false},
    };
    for (const auto& row : rows) {
        Transaction t = trialTransaction();
        t.offerType = row.offer;
        t.offerPaymentMode = row.mode;
        EXPECT_EQ(tally::isFreeTrial(t), row.expected) << &row - rows.data();
    }
}

TEST(TransactionPrice, InUSDThroughTheRateTable) {
    struct Row {
        const char* label;
        std::optional<double> price;
        std::optional<std::string> currency;
        double expected;
    };
    const std::vector<Row> rows = {
        {"euros", 9.99, "EUR", 9.99 / 0.9533}, {"dollars", 4.99, "USD", 4.99},
        {"yen", 1000, "JPY", 1000 / 152.3479}, {"not in the table", 9.99, "XYZ", 0},
        {"lower-case code", 9.99, "eur", 0},   {"no currency", 9.99, std::nullopt, 0},
        {"no price", std::nullopt, "EUR", 0},
    };
    for (const auto& row : rows) {
        Transaction t = trialTransaction();
        t.price = row.price;
        t.currency = row.currency;
        EXPECT_DOUBLE_EQ(tally::priceInUSD(t), row.expected) << row.label;
    }
}

TEST_F(PurchaseSignals, CompletedPurchaseParameters) {
    struct Row {
        const char* label;
        std::optional<std::string> group;
        std::optional<std::string> currency;
        Parameters callers;
        Parameters expected;
    };
    const std::vector<Row> rows = {
        {"subscription in euros",
         "group-1",
         "EUR",
         {},
         {{"Tally.Purchase.type", "subscription"},
          {"Tally.Purchase.countryCode", "DEU"},
          {"Tally.Purchase.productID", "pro.yearly"},
          {"Tally.Purchase.currencyCode", "EUR"}}},
        {"one-time purchase without currency",
         std::nullopt,
         std::nullopt,
         {},
         {{"Tally.Purchase.type", "one-time-purchase"},
          {"Tally.Purchase.countryCode", "DEU"},
          {"Tally.Purchase.productID", "pro.yearly"}}},
        {"the caller's product identifier wins",
         std::nullopt,
         "USD",
         {{"Tally.Purchase.productID", "mine"}},
         {{"Tally.Purchase.type", "one-time-purchase"},
          {"Tally.Purchase.countryCode", "DEU"},
          {"Tally.Purchase.productID", "mine"},
          {"Tally.Purchase.currencyCode", "USD"}}},
    };
    for (const auto& row : rows) {
        Transaction t = paidRenewal("pro.yearly");
        t.subscriptionGroupID = row.group;
        t.currency = row.currency;
        Tally::purchaseCompleted(t, row.callers);
        EXPECT_EQ(pipelines.signals().back().parameters, row.expected) << row.label;
    }
    // The free-trial signal takes the caller's parameters the same way.
    Tally::purchaseCompleted(trialTransaction(), {{"Tally.Purchase.productID", "mine"}});
    EXPECT_EQ(pipelines.signals().back().name, "Tally.Purchase.freeTrialStarted");
    EXPECT_EQ(pipelines.signals().back().parameters.at("Tally.Purchase.productID"), "mine");
}

TEST_F(PurchaseSignals, UpdatesOfAStoredTrial) {
    const auto base = rt.clock->now();
    auto with = [](Transaction t, auto change) {
        change(t);
        return t;
    };
    struct Row {
        const char* label;
        VerificationResult update;
        bool converts;
        bool ends;
    };
    const std::vector<Row> rows = {
        {"unverified", {false, paidRenewal()}, false, false},
        {"other product", {true, paidRenewal("pro.yearly")}, false, false},
        {"other original identifier", {true, paidRenewal("pro.monthly", 2002)}, false, false},
        {"revoked",
         {true, with(paidRenewal(), [&](Transaction& t) { t.revocationDate = base; })},
         false,
         true},
        {"expired before now",
         {true, with(paidRenewal(), [&](Transaction& t) { t.expirationDate = base - 1s; })},
         false,
         true},
        {"upgraded", {true, with(paidRenewal(), [](Transaction& t) { t.isUpgraded = true; })}, false, true},
        {"still a trial",
         {true, with(trialTransaction(), [&](Transaction& t) { t.expirationDate = base + 1h; })},
         false,
         false},
        {"converted",
         {true, with(paidRenewal(), [&](Transaction& t) { t.expirationDate = base + 1h; })},
         true,
         true},
    };
    const std::string stored = R"({"originalTransactionID":1001,"productID":"pro.monthly"})";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        restart();
        Tally::purchaseCompleted(trialTransaction(), {{"campaign", "spring"}}, "buyer");
        drain();
        ASSERT_EQ(lastTrialText(), stored);
        deliver(row.update);

        EXPECT_EQ(count("Tally.Purchase.convertedFromTrial"), row.converts ? 1U : 0U);
        EXPECT_EQ(lastTrialText(), row.ends ? std::nullopt : std::optional<std::string>(stored));
        EXPECT_TRUE(store.waitForReaders(row.ends ? 0 : 1));
        if (row.converts) {
            const auto sent = pipelines.signals().back();
            EXPECT_EQ(sent.parameters, tally::purchaseParameters(row.update.transaction));
            EXPECT_DOUBLE_EQ(*sent.floatValue, 9.99 / 0.9533);
            EXPECT_EQ(sent.customUserID, std::nullopt);
            // Nothing more is reported for that trial.
            deliver({true, paidRenewal()});
            EXPECT_EQ(count("Tally.Purchase.convertedFromTrial"), 1U);
        }
    }
}

TEST_F(PurchaseSignals, ASecondTrialReportedWhileTheFirstConvertsIsKept) {
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    bool released = false;
    pipelines.setHook([&](const tallytest::CapturedSignal& signal) {
        if (signal.name != "Tally.Purchase.convertedFromTrial" ||
            signal.parameters.at("Tally.Purchase.productID") != "pro.monthly")
            return;
        std::unique_lock lock(mutex);
        held = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
    });
    Tally::purchaseCompleted(trialTransaction("pro.monthly", 1001));
    drain();
    store.push({true, paidRenewal("pro.monthly", 1001)});
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return held; }));
    }
    Tally::purchaseCompleted(trialTransaction("pro.yearly", 2002));
    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    // The first observation ends; the second one waits for updates.
    ASSERT_TRUE(store.waitForReaders(1));
    ASSERT_TRUE(store.waitUntilIdle());
    drain();
    EXPECT_EQ(lastTrialText(), R"({"originalTransactionID":2002,"productID":"pro.yearly"})");
    EXPECT_EQ(count("Tally.Purchase.convertedFromTrial"), 1U);

    deliver({true, paidRenewal("pro.yearly", 2002)});
    const auto signals = pipelines.signals();
    ASSERT_EQ(count("Tally.Purchase.convertedFromTrial"), 2U);
    EXPECT_EQ(signals.back().parameters.at("Tally.Purchase.productID"), "pro.yearly");
    EXPECT_EQ(lastTrialText(), std::nullopt);
    EXPECT_TRUE(store.waitForReaders(0));
}

TEST_F(PurchaseSignals, ATrialStoredByAnEarlierRunIsWatchedFromTheTrackersCreation) {
    storeLastTrial(R"({"productID":"pro.monthly","originalTransactionID":1001})");
    TrialConversionTracker::shared();
    EXPECT_TRUE(store.waitForReaders(1));
    deliver({true, paidRenewal()});
    EXPECT_EQ(count("Tally.Purchase.convertedFromTrial"), 1U);
    EXPECT_EQ(lastTrialText(), std::nullopt);
}

TEST_F(PurchaseSignals, AnUnreadableStoredTrialIsNoTrial) {
    storeLastTrial("not json at all");
    TrialConversionTracker::shared();
    EXPECT_EQ(store.readers(), 0U);
    EXPECT_EQ(TrialConversionTracker::shared().currentTrial(), std::nullopt);
}

TEST_F(PurchaseSignals, ATrialThatCannotBeStoredRemovesTheStoredOne) {
    Tally::purchaseCompleted(trialTransaction());
    drain();
    ASSERT_NE(lastTrialText(), std::nullopt);
    Tally::purchaseCompleted(trialTransaction("pro.\xff", 2002));
    EXPECT_NO_THROW(drain());
    EXPECT_EQ(lastTrialText(), std::nullopt);
    EXPECT_THROW(tally::encodeStoredTrial({"pro.\xff", 1}), tally::EncodingError);
}

TEST(StoredTrialCoding, ExactlyTheTwoKeys) {
    const StoredTrial trial{"pro.monthly", UINT64_MAX};
    const std::string bytes = tally::encodeStoredTrial(trial);
    EXPECT_EQ(bytes, R"({"originalTransactionID":18446744073709551615,"productID":"pro.monthly"})");
    EXPECT_EQ(tally::decodeStoredTrial(bytes), trial);
    for (const char* unreadable :
         {"", "not json", "[]", "{}", R"({"productID":"p"})", R"({"originalTransactionID":1})",
          R"({"productID":"p","originalTransactionID":-1})",
          R"({"productID":"p","originalTransactionID":1.5})",
          R"({"productID":"p","originalTransactionID":"1"})", R"({"productID":7,"originalTransactionID":1})",
          R"({"productID":"p","originalTransactionID":18446744073709551616})"}) {
        EXPECT_EQ(tally::decodeStoredTrial(unreadable), std::nullopt) << unreadable;
    }
}

TEST_F(PurchaseSignals, NothingIsStoredOrSentWhileNoManagerIsInstalled) {
    Tally::terminate();
    Tally::purchaseCompleted(trialTransaction());
    drain();
    ASSERT_TRUE(store.waitForReaders(1));
    deliver({true, paidRenewal()});
    EXPECT_TRUE(pipelines.signals().empty());
    EXPECT_EQ(TrialConversionTracker::shared().currentTrial(), std::nullopt);
    Tally::initialize(config);
    EXPECT_EQ(lastTrialText(), std::nullopt);
}

TEST(ExchangeRates, OneHundredSixtyOnePositiveRowsInCodeOrder) {
    const std::string codes = "AED AFN ALL AMD ANG AOA ARS AUD AWG AZN BAM BBD BDT BGN BHD BIF BMD BND BOB "
                              "BRL BSD BTN BWP BYN BZD CAD "
                              "CDF CHF CLP CNY COP CRC CUP CVE CZK DJF DKK DOP DZD EGP ERN ETB EUR FJD FKP "
                              "FOK GBP GEL GGP GHS GIP GMD "
                              "GNF GTQ GYD HKD HNL HRK HTG HUF IDR ILS IMP INR IQD IRR ISK JEP JMD JOD JPY "
                              "KES KGS KHR KID KMF KRW KWD "
                              "KYD KZT LAK LBP LKR LRD LSL LYD MAD MDL MGA MKD MMK MNT MOP MRU MUR MVR MWK "
                              "MXN MYR MZN NAD NGN NIO NOK "
                              "NPR NZD OMR PAB PEN PGK PHP PKR PLN PYG QAR RON RSD RUB RWF SAR SBD SCR SDG "
                              "SEK SGD SHP SLE SLL SOS SRD "
                              "SSP STN SYP SZL THB TJS TMT TND TOP TRY TTD TVD TWD TZS UAH UGX UYU UZS VES "
                              "VND VUV WST XAF XCD XDR XOF "
                              "XPF YER ZAR ZMW ZWL";
    std::istringstream in(codes);
    std::vector<std::string> expected{std::istream_iterator<std::string>(in), {}};
    const auto& rates = tally::currencyCodeToOneUSDExchangeRate();
    ASSERT_EQ(rates.size(), 161U);
    ASSERT_EQ(expected.size(), 161U);
    for (std::size_t i = 0; i < rates.size(); ++i) {
        EXPECT_EQ(rates[i].first, expected[i]);
        EXPECT_TRUE(std::isfinite(rates[i].second) && rates[i].second > 0) << rates[i].first;
    }
    EXPECT_EQ(tally::exchangeRate("USD"), std::nullopt);
    const std::vector<std::pair<std::string, double>> fixed = {
        {"EUR", 0.9533}, {"GBP", 0.7948}, {"CHF", 0.8997}, {"CAD", 1.4182},    {"JPY", 152.3479},
        {"BMD", 1.0},    {"BBD", 2.0},    {"KWD", 0.3085}, {"IRR", 41993.216}, {"LBP", 89500.0}};
    for (const auto& [code, rate] : fixed) {
        EXPECT_EQ(tally::exchangeRate(code), rate) << code;
    }
}

} // namespace
