#pragma once

#include "Platform/Json.hpp"
#include "Tally/Helpers/LogHandler.hpp"
#include "Tally/Helpers/TelemetryEncoder.hpp"
#include "Tally/Signals/SignalPostBody.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

namespace tally {

namespace detail {

// The backup file "telemetrysignalcache" in the Runtime's caches directory. Throws std::runtime_error
// when the caches directory is not known.
std::filesystem::path defaultSignalCacheFile();

// What one exclusive block wants logged; logged once the lock is released, since a handler is a callback.
struct CacheLog {
    std::vector<std::pair<LogLevel, std::string>> lines;
    void add(LogLevel level, std::string message) { lines.emplace_back(level, std::move(message)); }
    void flush(const std::optional<LogHandler>& handler) const;
};

// The load step outside the record type: reads and deletes `file`, returning its content; absent when the
// file cannot be read. Logs what the load logs up to the read.
std::optional<std::string> takeBackupFile(const std::optional<std::filesystem::path>& file, CacheLog& log);
// Writes an encoded backup and logs the outcome; false when it was not written.
bool writeBackupFile(const std::optional<std::filesystem::path>& file, const std::string& data,
                     std::size_t count, CacheLog& log);

} // namespace detail

// The bounded queue of records waiting for upload, with a disk backup taken at termination and read
// back (and deleted) when the next cache is created. `count` takes a shared lock; every other operation
// is one exclusive block. Records leave in push order; the oldest are dropped beyond `cacheLimit`.
// `Codec` encodes a record to JSON and decodes it back (`encode(const T&)`, `decode(const Json&, path)`),
// and says whether a decoded record can be uploaded at all (`sendable(const T&)`); the load drops those
// that cannot, with one error line.
template <class T, class Codec = BackupCodec<T>> class SignalCache {
public:
    static constexpr std::size_t maximumNumberOfSignalsToPopAtOnce = 100;

    // Loads the backup at `fileURL`, or at the default location when none is given. A negative limit
    // counts as zero.
    SignalCache(std::optional<LogHandler> logHandler, std::int64_t cacheLimit,
                std::optional<std::filesystem::path> fileURL = std::nullopt)
        : logHandler_(std::move(logHandler)), cacheLimit_(cacheLimit < 0 ? 0 : static_cast<std::size_t>(cacheLimit)),
          cacheFileURL_(std::move(fileURL)) {
        detail::CacheLog log;
        {
            std::unique_lock lock(mutex_);
            loadFromDiskLocked(log);
        }
        log.flush(logHandler_);
    }
    SignalCache(const SignalCache&) = delete;
    SignalCache& operator=(const SignalCache&) = delete;

    void push(T signal) {
        std::unique_lock lock(mutex_);
        cachedSignals_.push_back(std::move(signal));
        trimToCacheLimitLocked();
    }

    void push(std::vector<T> signals) {
        std::unique_lock lock(mutex_);
        std::move(signals.begin(), signals.end(), std::back_inserter(cachedSignals_));
        trimToCacheLimitLocked();
    }

    // The oldest records, at most 100; empty when nothing is queued.
    std::vector<T> pop() {
        std::unique_lock lock(mutex_);
        const auto n = static_cast<std::ptrdiff_t>(std::min(cachedSignals_.size(), maximumNumberOfSignalsToPopAtOnce));
        std::vector<T> batch(std::make_move_iterator(cachedSignals_.begin()),
                             std::make_move_iterator(cachedSignals_.begin() + n));
        cachedSignals_.erase(cachedSignals_.begin(), cachedSignals_.begin() + n);
        return batch;
    }

    std::size_t count() const {
        std::shared_lock lock(mutex_);
        return cachedSignals_.size();
    }

    // Writes the whole queue to the backup file (atomically: a failed write leaves the old file) and
    // empties it; a failure keeps the queue. An empty queue writes "[]".
    void backupCache() {
        detail::CacheLog log;
        {
            std::unique_lock lock(mutex_);
            std::string data;
            try {
                data = encodeJsonArray(cachedSignals_, [](const T& signal) { return Codec::encode(signal); });
            } catch (const std::exception&) {
                return; // nothing is written and the queue stays as it is
            }
            if (detail::writeBackupFile(cacheFileURL_, data, cachedSignals_.size(), log)) cachedSignals_.clear();
        }
        log.flush(logHandler_);
    }

private:
    void loadFromDiskLocked(detail::CacheLog& log) {
        std::optional<std::string> content = detail::takeBackupFile(cacheFileURL_, log);
        if (!content) return;
        std::vector<T> loaded;
        std::size_t decoded = 0;
        try {
            // Each element is decoded as soon as it is parsed and then dropped, so the document of a full
            // queue is never held whole beside its records.
            bool isArray = false;
            auto decodeElement = [&](int depth, platform::Json::parse_event_t event, platform::Json& parsed) {
                using Event = platform::Json::parse_event_t;
                if (depth == 0 && event == Event::array_start) isArray = true;
                if (depth != 1 || !isArray) return true;
                if (event != Event::object_end && event != Event::array_end && event != Event::value) return true;
                T signal = Codec::decode(parsed, "[" + std::to_string(decoded++) + "]");
                // One record that can never be sent would fail every batch it joined.
                if (Codec::sendable(signal)) loaded.push_back(std::move(signal));
                return false;
            };
            const platform::Json rest = platform::Json::parse(*content, decodeElement); // an empty array
            if (!isArray) return;
        } catch (const std::exception&) {
            return; // an undecodable backup is dropped (the file is already gone)
        }
        log.add(LogLevel::info, "Loaded " + std::to_string(decoded) + " signals");
        if (const std::size_t dropped = decoded - loaded.size(); dropped > 0) {
            log.add(LogLevel::error,
                    "Dropped " + std::to_string(dropped) + " signal(s) of the backup: date cannot be sent");
        }
        std::move(loaded.begin(), loaded.end(), std::back_inserter(cachedSignals_));
        trimToCacheLimitLocked();
    }

    void trimToCacheLimitLocked() {
        if (cachedSignals_.size() > cacheLimit_) {
            const auto excess = static_cast<std::ptrdiff_t>(cachedSignals_.size() - cacheLimit_);
            cachedSignals_.erase(cachedSignals_.begin(), cachedSignals_.begin() + excess);
        }
    }

    const std::optional<LogHandler> logHandler_;
    const std::size_t cacheLimit_;
    const std::optional<std::filesystem::path> cacheFileURL_;
    mutable std::shared_mutex mutex_;
    std::deque<T> cachedSignals_;
};

} // namespace tally
