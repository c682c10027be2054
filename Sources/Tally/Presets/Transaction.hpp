#pragma once

#include "Platform/Clock.hpp"
#include "Tally/Helpers/Dictionary.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace tally {

enum class ProductType { consumable, nonConsumable, nonRenewable, autoRenewable };
enum class OfferType { introductory, promotional, code, winBack };
enum class OfferPaymentMode { freeTrial, payAsYouGo, payUpFront };

// A completed store transaction, as far as the client reads it. Where stores describe a property in an
// older and a newer form, both land in the one field.
struct Transaction {
    std::string productID;
    std::uint64_t originalID = 0;
    ProductType productType = ProductType::consumable;
    std::optional<OfferType> offerType;
    // The enumerated mode, or the older text form ("FREE_TRIAL").
    std::optional<std::variant<OfferPaymentMode, std::string>> offerPaymentMode;
    std::optional<double> price;
    // ISO 4217 code.
    std::optional<std::string> currency;
    std::string storefrontCountryCode;
    std::optional<std::string> subscriptionGroupID;
    std::optional<platform::TimePoint> revocationDate;
    std::optional<platform::TimePoint> expirationDate;
    bool isUpgraded = false;
};

// One transaction update as the store delivers it: verified by the store, or not.
struct VerificationResult {
    bool verified = false;
    Transaction transaction;
};

// The store's stream of transaction updates. Each reader gets its own source.
class TransactionUpdates {
public:
    virtual ~TransactionUpdates() = default;
    // Waits for the next update; absent once the stream has ended or `stop` is requested.
    virtual std::optional<VerificationResult> next(std::stop_token stop) = 0;
};

// "Tally.Purchase.type", "Tally.Purchase.countryCode", "Tally.Purchase.productID" and, with a currency,
// "Tally.Purchase.currencyCode".
Parameters purchaseParameters(const Transaction& transaction);
// The price (absent counts as 0) in US dollars; 0 without a currency or for a code not in the table.
double priceInUSD(const Transaction& transaction);
// An introductory offer paid as a free trial.
bool isFreeTrial(const Transaction& transaction);

// Units of each currency worth one US dollar, by upper-case code; no row for "USD".
using ExchangeRates = std::array<std::pair<std::string_view, double>, 161>;
const ExchangeRates& currencyCodeToOneUSDExchangeRate();
std::optional<double> exchangeRate(std::string_view currencyCode);

} // namespace tally
