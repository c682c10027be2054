#pragma once

#include "PelKit/Models.hpp"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pelkit {

class DB;

// The run journal: each event becomes one JSON line in the UTC day file
// (stateDir/runs/yyyy-MM-dd.jsonl) and one run_events row. emit() only stamps and queues the
// record; one writer thread writes the records in order. Nothing reaches the caller after creation.
class Journal {
public:
    // Ensures the directories (that error is thrown unchanged) and creates the day file empty
    // with mode 0600 when missing. No run identifier: a new one. No DB: DB::shared() at each write.
    explicit Journal(std::optional<std::string> runID = std::nullopt, DB* db = nullptr,
                     platform::Clock& clock = platform::systemClock());
    // Writes every queued event, then stops the writer.
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // "01" and ten random Crockford base-32 digits.
    static std::string makeRunID();

    const std::string& runID() const { return runID_; }
    const Url& file() const { return file_; }

    // Records one event; `fields` is a JSON object (anything else counts as no fields).
    // "ts", "run", "event" and "schemaVersion" replace caller fields of the same name.
    void emit(const std::string& event, const Json& fields = Json::object());
    // Returns once every event emitted before the call has been written.
    void flush();

    // The compact, key-sorted, slash-escaped text of a record, or nullopt when it is no JSON
    // value (invalid UTF-8, a non-finite number, binary data).
    static std::optional<std::string> serialize(const Json& record);

private:
    struct Record {
        Json object;
        std::string ts;
        std::string event;
        std::optional<std::string> bundleID, source, code;
        std::optional<bool> success;
    };

    // The most events written in one go (one append of lines, one transaction of rows).
    static constexpr std::size_t kMaxBatch = 256;

    void run();
    void write(const std::vector<Record>& batch);

    std::string runID_;
    Url file_;
    std::string filePath_;
    DB* db_;
    platform::Clock& clock_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::deque<Record> pending_;
    std::uint64_t queued_ = 0;
    std::uint64_t done_ = 0;
    bool stopping_ = false;
    std::thread writer_; // last: starts after everything above exists
};

} // namespace pelkit
