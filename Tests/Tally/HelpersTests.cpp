#include "TallyTestSupport.hpp"
#include "Tally/Helpers/CryptoHashing.hpp"
#include "Tally/Helpers/Dictionary.hpp"
#include "Tally/Helpers/LogHandler.hpp"
#include "Tally/Helpers/TelemetryEncoder.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <locale>
#include <string>
#include <thread>
#include <vector>

using tally::CryptoHashing;
using tally::LogHandler;
using tally::LogLevel;

namespace {

// 2024-05-01 12:00:00 UTC as seconds since 2001-01-01.
constexpr double kMay1Noon = 1714564800.0 - 978307200.0;

struct CommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

} // namespace

TEST(CryptoHashing, Sha256OfTextAndSalt) {
    const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_EQ(CryptoHashing::sha256("abc", ""), abc);
    EXPECT_EQ(CryptoHashing::sha256("ab", "c"), abc);
    EXPECT_EQ(CryptoHashing::sha256("", "abc"), abc);
    EXPECT_EQ(CryptoHashing::commonCryptoSha256("abc"), abc);
    // The digest of "286" begins with a zero byte: it is written "00", not dropped or shortened.
    EXPECT_EQ(CryptoHashing::sha256("28", "6"), "00328ce57bbc14b33bd6695bc8eb32cdf2fb5f3a7d89ec14a42825e15d39df60");
}

TEST(LogLevel, RawValuesAndTexts) {
    EXPECT_EQ(tally::logLevelFromRaw(0), LogLevel::debug);
    EXPECT_EQ(tally::logLevelFromRaw(1), LogLevel::info);
    EXPECT_EQ(tally::logLevelFromRaw(2), LogLevel::error);
    EXPECT_FALSE(tally::logLevelFromRaw(-1));
    EXPECT_FALSE(tally::logLevelFromRaw(3));
    EXPECT_EQ(tally::description(LogLevel::debug), "DEBUG");
    EXPECT_EQ(tally::description(LogLevel::info), "INFO");
    EXPECT_EQ(tally::description(LogLevel::error), "ERROR");
}

TEST(LogHandler, LevelFilterAndLazyMessages) {
    struct Case {
        LogLevel handlerLevel;
        LogLevel messageLevel;
        bool passes;
    };
    const Case cases[] = {
        {LogLevel::debug, LogLevel::debug, true}, {LogLevel::debug, LogLevel::info, true},
        {LogLevel::debug, LogLevel::error, true}, {LogLevel::info, LogLevel::debug, false},
        {LogLevel::info, LogLevel::info, true},   {LogLevel::info, LogLevel::error, true},
        {LogLevel::error, LogLevel::debug, false}, {LogLevel::error, LogLevel::info, false},
        {LogLevel::error, LogLevel::error, true},
    };
    for (const auto& c : cases) {
        tallytest::CapturedLog log;
        LogHandler handler = log.handler(c.handlerLevel);
        int built = 0;
        handler.log(c.messageLevel, [&] {
            ++built;
            return std::string("m");
        });
        handler.log(c.messageLevel, std::string("plain"));
        const auto lines = log.lines();
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.handlerLevel) << " " << static_cast<int>(c.messageLevel));
        EXPECT_EQ(built, c.passes ? 1 : 0);
        EXPECT_EQ(lines.size(), c.passes ? 2u : 0u);
        if (c.passes) {
            EXPECT_EQ(lines[0], std::string(tally::description(c.messageLevel)) + " m");
        }
    }
    // An absent handler drops the message without building it.
    std::optional<LogHandler> none;
    bool built = false;
    tally::log(none, LogLevel::error, [&] {
        built = true;
        return std::string();
    });
    EXPECT_FALSE(built);
}

TEST(LogHandler, StandardHandlerWritesWholeLinesToStandardOutput) {
    testing::internal::CaptureStdout();
    LogHandler::standard(LogLevel::info).log(LogLevel::error, "boom");
    LogHandler::standard(LogLevel::info).log(LogLevel::debug, "hidden");
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t] {
                const auto handler = LogHandler::standard(LogLevel::debug);
                for (int i = 0; i < 200; ++i) {
                    handler.log(LogLevel::info, std::string(50, static_cast<char>('a' + t)));
                }
            });
        }
        for (auto& th : threads) th.join();
    }
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(out.rfind("[Tally: ERROR] boom\n", 0), 0u);
    EXPECT_EQ(out.find("hidden"), std::string::npos);
    std::size_t lines = 0;
    for (std::size_t start = 20; start < out.size();) {
        const std::size_t end = out.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = out.substr(start, end - start);
        const std::string prefix = "[Tally: INFO] ";
        ASSERT_EQ(line.size(), prefix.size() + 50u) << line;
        EXPECT_EQ(line.substr(0, prefix.size()), prefix);
        EXPECT_EQ(line.find_first_not_of(line.back(), prefix.size()), std::string::npos) << line;
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, 800u);
}

TEST(TelemetryDate, WireTextIsUtcWithFractionsFloored) {
    const struct {
        double seconds;
        const char* text;
    } cases[] = {
        {kMay1Noon + 0.75, "2024-05-01T12:00:00+0000"},
        {kMay1Noon + 3599.999, "2024-05-01T12:59:59+0000"},
        {0.0, "2001-01-01T00:00:00+0000"},
        {-0.25, "2000-12-31T23:59:59+0000"},        // floored, not truncated
        {-978307200.5, "1969-12-31T23:59:59+0000"}, // before 1970
        {-978307200.0 - 86400.0 * 365, "1969-01-01T00:00:00+0000"},
        {-63113904000.0, "0001-01-01T00:00:00+0000"}, // the first second of year 1
        {-31557038400.0 + 0.5, "1000-12-31T12:00:00+0000"},
        {-12649219201.0, "1600-02-29T23:59:59+0000"},      // a leap century
        {-3182198400.0 - 1.0, "1900-02-28T23:59:59+0000"}, // a century without 29 February
        {-10210116595.0, "1677-06-15T08:30:05+0000"},      // beyond the clock's nanosecond range
        {8245065601.0, "2262-04-12T00:00:01+0000"},
        {252423993599.999, "9999-12-31T23:59:59+0000"}, // the last second of year 9999
    };
    tallytest::ScopedTimeZone zone("Asia/Kathmandu");
    const char* oldLocale = std::setlocale(LC_ALL, nullptr);
    const std::string savedLocale = oldLocale ? oldLocale : "C";
    for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE", "C"}) {
        if (std::setlocale(LC_ALL, name)) break;
    }
    const std::locale savedGlobal = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
    for (const auto& c : cases) {
        EXPECT_TRUE(tally::isTelemetryDateEncodable(c.seconds)) << c.seconds;
        EXPECT_EQ(tally::telemetryDateText(c.seconds), c.text) << c.seconds;
    }
    std::locale::global(savedGlobal);
    std::setlocale(LC_ALL, savedLocale.c_str());
}

TEST(TelemetryDate, UnwritableDatesAreErrors) {
    const double beforeYear1 = -63113904000.0 - 0.25;
    const double year10000 = 252423993600.0;
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                       1e12, -1e12, beforeYear1, year10000, -std::numeric_limits<double>::max()}) {
        EXPECT_FALSE(tally::isTelemetryDateEncodable(bad)) << bad;
        EXPECT_THROW(tally::telemetryDateText(bad), tally::EncodingError) << bad;
    }
}

TEST(TelemetryDate, ClockReadingKeepsItsFraction) {
    const platform::TimePoint t{std::chrono::milliseconds(1714564800750)};
    EXPECT_DOUBLE_EQ(tally::secondsSinceReferenceDate(t), kMay1Noon + 0.75);
}

TEST(Dictionary, MapKeysAndApplying) {
    const tally::Parameters empty;
    EXPECT_TRUE(tally::mapKeys(empty, [](const std::string& k) { return "p." + k; }).empty());
    const tally::Parameters ab{{"a", "1"}, {"b", "2"}};
    EXPECT_EQ(tally::mapKeys(ab, [](const std::string& k) { return "p." + k; }),
              (tally::Parameters{{"p.a", "1"}, {"p.b", "2"}}));
    // Two keys onto one: the key that sorts last survives.
    const tally::Parameters clash{{"A", "upper"}, {"a", "lower"}, {"b", "other"}};
    EXPECT_EQ(tally::mapKeys(clash, [](const std::string& k) { return k == "A" ? std::string("a") : k; }),
              (tally::Parameters{{"a", "lower"}, {"b", "other"}}));
    EXPECT_THROW(tally::mapKeys(ab, [](const std::string&) -> std::string { throw std::runtime_error("no"); }),
                 std::runtime_error);

    EXPECT_EQ(tally::applying({{"a", "1"}, {"b", "2"}}, {{"b", "3"}, {"c", "4"}}),
              (tally::Parameters{{"a", "1"}, {"b", "3"}, {"c", "4"}}));
    EXPECT_EQ(tally::applying({}, {}), tally::Parameters{});
}
