#include "Tally/Signals/SignalCache.hpp"

#include "Platform/Files.hpp"
#include "Platform/Url.hpp"
#include "Tally/Runtime.hpp"

#include <fmt/format.h>

#include <stdexcept>
#include <system_error>

namespace tally::detail {
namespace fs = std::filesystem;

namespace {

fs::path cacheFile(const std::optional<fs::path>& given) { return given ? *given : defaultSignalCacheFile(); }

} // namespace

fs::path defaultSignalCacheFile() {
    const auto& caches = runtime().cachesDirectory;
    if (!caches || caches->empty()) throw std::runtime_error("caches directory unknown");
    return *caches / "telemetrysignalcache";
}

void CacheLog::flush(const std::optional<LogHandler>& handler) const {
    for (const auto& [level, message] : lines) {
        log(handler, level, message);
    }
}

std::optional<std::string> takeBackupFile(const std::optional<fs::path>& file, CacheLog& log) {
    fs::path path;
    try {
        path = cacheFile(file);
    } catch (const std::exception&) {
        log.add(LogLevel::error, "Failed to get disk cache url from FileManager.");
        return std::nullopt;
    }
    std::error_code ec;
    log.add(LogLevel::info, "Loading Telemetry cache from: " + platform::Url::fromFilePath(fs::absolute(path, ec).string()).text());
    std::string content;
    try {
        content = platform::readFile(path);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    fs::remove(path, ec); // a file that cannot be deleted is read again next time
    return content;
}

bool writeBackupFile(const std::optional<fs::path>& file, const std::string& data, std::size_t count,
                     CacheLog& log) {
    try {
        // Atomic: the next load deletes the file before decoding it, so a torn write would lose every record.
        platform::atomicWrite(cacheFile(file), data, 0600);
    } catch (const std::exception&) {
        log.add(LogLevel::error, "Error saving Telemetry cache");
        return false;
    }
    log.add(LogLevel::info, fmt::format("Saved Telemetry cache {} bytes of {} signals", data.size(), count));
    return true;
}

} // namespace tally::detail
