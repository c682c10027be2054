#pragma once

#include <concepts>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tally {

enum class LogLevel : int { debug = 0, info = 1, error = 2 };

// The level of a raw value; none outside 0 to 2.
std::optional<LogLevel> logLevelFromRaw(int raw);
// "DEBUG", "INFO", "ERROR".
std::string_view description(LogLevel level);

// The client's one logging channel: messages at `logLevel` or above reach `handler`, which must accept
// calls from any thread. A copyable value.
struct LogHandler {
    LogLevel logLevel = LogLevel::info;
    std::function<void(LogLevel, const std::string&)> handler;

    bool passes(LogLevel level) const { return static_cast<int>(level) >= static_cast<int>(logLevel); }

    void log(LogLevel level, const std::string& message) const {
        if (passes(level) && handler) handler(level, message);
    }
    // The message is built only once the level has passed the filter.
    template <std::invocable MakeMessage> void log(LogLevel level, MakeMessage&& makeMessage) const {
        if (passes(level) && handler) handler(level, std::string(makeMessage()));
    }

    // Writes "[Tally: LEVEL] message" as one whole line to standard output, also under concurrent calls.
    static LogHandler standard(LogLevel logLevel);
};

// Logging through a handler that may be absent (absent drops the message).
template <class Message>
void log(const std::optional<LogHandler>& handler, LogLevel level, Message&& message) {
    if (handler) handler->log(level, std::forward<Message>(message));
}

} // namespace tally
