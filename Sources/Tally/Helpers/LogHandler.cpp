#include "Tally/Helpers/LogHandler.hpp"

#include <cstdio>
#include <mutex>

namespace tally {

std::optional<LogLevel> logLevelFromRaw(int raw) {
    if (raw < 0 || raw > 2) return std::nullopt;
    return static_cast<LogLevel>(raw);
}

std::string_view description(LogLevel level) {
    switch (level) {
    case LogLevel::debug:
        return "DEBUG";
    case LogLevel::info:
        return "INFO";
    case LogLevel::error:
        return "ERROR";
    }
    return "";
}

LogHandler LogHandler::standard(LogLevel logLevel) {
    return LogHandler{logLevel, [](LogLevel level, const std::string& message) {
                          std::string line = "[Tally: ";
                          line.append(description(level)).append("] ").append(message).push_back('\n');
                          // One write per line under a lock, so lines from several threads never interleave.
                          static std::mutex* mutex = new std::mutex; // never destroyed: workers log at exit
                          std::lock_guard lock(*mutex);
                          std::fwrite(line.data(), 1, line.size(), stdout);
                          std::fflush(stdout);
                      }};
}

} // namespace tally
