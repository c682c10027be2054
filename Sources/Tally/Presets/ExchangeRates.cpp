#include "Tally/Presets/Transaction.hpp"

namespace tally {

// Units of each currency per US dollar, in code order: the codes of the open-access daily USD table of
// exchangerate-api.com (open.er-api.com/v6/latest/USD) without USD. EUR, GBP, CHF, CAD, JPY, BMD, BBD,
// KWD, IRR and LBP are exact reference values of mid-February 2025; the other rows are approximate
// mid-market rates of those weeks (about four significant figures), not a copy of one day's file.
// Pegged and linked currencies follow their anchors: BAM, BGN, CVE, KMF, STN, XAF, XOF and XPF the
// euro; FKP, GGP, GIP, IMP, JEP and SHP the pound; FOK the krone; KID and TVD the Australian dollar;
// BTN and NPR the rupee. Fixed data, never refreshed at run time.
const ExchangeRates& currencyCodeToOneUSDExchangeRate() {
    static constexpr ExchangeRates kRates{{
        {"AED", 3.6725},    {"AFN", 73.5},    {"ALL", 94.9},    {"AMD", 395.5},  {"ANG", 1.79},
        {"AOA", 918.0},     {"ARS", 1056.0},  {"AUD", 1.575},   {"AWG", 1.79},   {"AZN", 1.7},
        {"BAM", 1.8645},    {"BBD", 2.0},     {"BDT", 121.5},   {"BGN", 1.8645}, {"BHD", 0.376},
        {"BIF", 2960.0},    {"BMD", 1.0},     {"BND", 1.345},   {"BOB", 6.91},   {"BRL", 5.72},
        {"BSD", 1.0},       {"BTN", 86.8},    {"BWP", 13.8},    {"BYN", 3.27},   {"BZD", 2.0},
        {"CAD", 1.4182},    {"CDF", 2850.0},  {"CHF", 0.8997},  {"CLP", 950.0},  {"CNY", 7.27},
        {"COP", 4120.0},    {"CRC", 506.0},   {"CUP", 24.0},    {"CVE", 105.12}, {"CZK", 24.0},
        {"DJF", 177.72},    {"DKK", 7.112},   {"DOP", 62.2},    {"DZD", 135.0},  {"EGP", 50.6},
        {"ERN", 15.0},      {"ETB", 126.0},   {"EUR", 0.9533},  {"FJD", 2.31},   {"FKP", 0.7948},
        {"FOK", 7.112},     {"GBP", 0.7948},  {"GEL", 2.82},    {"GGP", 0.7948}, {"GHS", 15.45},
        {"GIP", 0.7948},    {"GMD", 72.5},    {"GNF", 8630.0},  {"GTQ", 7.72},   {"GYD", 209.5},
        {"HKD", 7.78},      {"HNL", 25.5},    {"HRK", 7.1826},  {"HTG", 131.0},  {"HUF", 383.0},
        {"IDR", 16300.0},   {"ILS", 3.55},    {"IMP", 0.7948},  {"INR", 86.8},   {"IQD", 1310.0},
        {"IRR", 41993.216}, {"ISK", 140.0},   {"JEP", 0.7948},  {"JMD", 157.5},  {"JOD", 0.709},
        {"JPY", 152.3479},  {"KES", 129.3},   {"KGS", 87.4},    {"KHR", 4010.0}, {"KID", 1.575},
        {"KMF", 469.0},     {"KRW", 1443.0},  {"KWD", 0.3085},  {"KYD", 0.8333}, {"KZT", 500.0},
        {"LAK", 21800.0},   {"LBP", 89500.0}, {"LKR", 296.0},   {"LRD", 198.5},  {"LSL", 18.4},
        {"LYD", 4.92},      {"MAD", 9.98},    {"MDL", 18.7},    {"MGA", 4700.0}, {"MKD", 58.66},
        {"MMK", 2100.0},    {"MNT", 3420.0},  {"MOP", 8.01},    {"MRU", 39.9},   {"MUR", 46.5},
        {"MVR", 15.45},     {"MWK", 1740.0},  {"MXN", 20.4},    {"MYR", 4.45},   {"MZN", 63.9},
        {"NAD", 18.4},      {"NGN", 1505.0},  {"NIO", 36.8},    {"NOK", 11.1},   {"NPR", 138.9},
        {"NZD", 1.755},     {"OMR", 0.3845},  {"PAB", 1.0},     {"PEN", 3.7},    {"PGK", 4.03},
        {"PHP", 58.0},      {"PKR", 279.5},   {"PLN", 3.97},    {"PYG", 7880.0}, {"QAR", 3.64},
        {"RON", 4.745},     {"RSD", 111.63},  {"RUB", 90.5},    {"RWF", 1415.0}, {"SAR", 3.75},
        {"SBD", 8.45},      {"SCR", 14.5},    {"SDG", 510.0},   {"SEK", 10.7},   {"SGD", 1.345},
        {"SHP", 0.7948},    {"SLE", 22.7},    {"SLL", 22700.0}, {"SOS", 571.5},  {"SRD", 35.3},
        {"SSP", 4450.0},    {"STN", 23.36},   {"SYP", 12950.0}, {"SZL", 18.4},   {"THB", 33.7},
        {"TJS", 10.9},      {"TMT", 3.5},     {"TND", 3.18},    {"TOP", 2.38},   {"TRY", 36.1},
        {"TTD", 6.77},      {"TVD", 1.575},   {"TWD", 32.8},    {"TZS", 2560.0}, {"UAH", 41.6},
        {"UGX", 3670.0},    {"UYU", 43.5},    {"UZS", 12950.0}, {"VES", 61.5},   {"VND", 25450.0},
        {"VUV", 121.0},     {"WST", 2.8},     {"XAF", 625.32},  {"XCD", 2.7},    {"XDR", 0.763},
        {"XOF", 625.32},    {"XPF", 113.76},  {"YER", 248.0},   {"ZAR", 18.4},   {"ZMW", 28.1},
        {"ZWL", 26.5},
    }};
    return kRates;
}

} // namespace tally
