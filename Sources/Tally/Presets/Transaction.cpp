#include "Tally/Presets/Transaction.hpp"

#include <algorithm>

namespace tally {

Parameters purchaseParameters(const Transaction& transaction) {
    Parameters parameters{
        {"Tally.Purchase.type", transaction.subscriptionGroupID ? "subscription" : "one-time-purchase"},
        {"Tally.Purchase.countryCode", transaction.storefrontCountryCode},
        {"Tally.Purchase.productID", transaction.productID},
    };
    if (transaction.currency)
        parameters.insert_or_assign("Tally.Purchase.currencyCode", *transaction.currency);
    return parameters;
}

double priceInUSD(const Transaction& transaction) {
    const double price = transaction.price.value_or(0);
    if (transaction.currency == "USD") return price;
    if (!transaction.currency) return 0;
    const auto rate = exchangeRate(*transaction.currency);
    return rate ? price / *rate : 0;
}

bool isFreeTrial(const Transaction& transaction) {
    if (transaction.offerType != OfferType::introductory || !transaction.offerPaymentMode) return false;
    if (const auto* mode = std::get_if<OfferPaymentMode>(&*transaction.offerPaymentMode)) {
        return *mode == OfferPaymentMode::freeTrial;
    }
    return std::get<std::string>(*transaction.offerPaymentMode) == "FREE_TRIAL";
}

std::optional<double> exchangeRate(std::string_view currencyCode) {
    const auto& rates = currencyCodeToOneUSDExchangeRate();
    const auto found =
        std::find_if(rates.begin(), rates.end(), [&](const auto& row) { return row.first == currencyCode; });
    if (found == rates.end()) return std::nullopt;
    return found->second;
}

} // namespace tally
