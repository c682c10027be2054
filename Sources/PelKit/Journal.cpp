#include "PelKit/Journal.hpp"

#include "PelKit/Config.hpp"
#include "PelKit/DB.hpp"
#include "Platform/Time.hpp"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <vector>
#include <cerrno>
#include <cmath>
#include <stdexcept>

namespace pelkit {
namespace {

// Creates the day file empty with mode 0600 unless something is already there.
void createDayFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return; // exists already (left as it is), or cannot be made: lines are then lost
    ::fchmod(fd, 0600);
    ::close(fd);
}

// Appends each line with one write so concurrent appenders never interleave; never creates the
// file (a deleted day file stays deleted).
void appendLines(const std::string& path, const std::vector<std::string>& lines) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return;
    for (const std::string& line : lines) {
        const char* p = line.data();
        size_t left = line.size();
        while (left > 0) {
            ssize_t n = ::write(fd, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            p += n;
            left -= static_cast<size_t>(n);
        }
    }
    ::close(fd);
}

bool allNumbersFinite(const Json& j) {
    switch (j.type()) {
    case Json::value_t::number_float:
        return std::isfinite(j.get<double>());
    case Json::value_t::object:
    case Json::value_t::array:
        for (const auto& v : j) {
            if (!allNumbersFinite(v)) return false;
        }
        return true;
    case Json::value_t::binary:
    case Json::value_t::discarded:
        return false;
    default:
        return true;
    }
}

std::optional<std::string> textField(const Json& fields, const char* key) {
    auto it = fields.find(key);
    if (it == fields.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

} // namespace

std::string Journal::makeRunID() {
    static const char alphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
    std::array<unsigned char, 10> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        throw std::runtime_error("random bytes unavailable");
    }
    std::string id = "01";
    for (unsigned char b : bytes)
        id.push_back(alphabet[b & 31]); // 256 = 8 × 32: uniform
    return id;
}

Journal::Journal(std::optional<std::string> runID, DB* db, platform::Clock& clock)
    : runID_(runID ? std::move(*runID) : makeRunID()),
      file_(Url::fromFilePath(PelPaths::journalDir().filePath() + platform::utcDay(clock.now()) + ".jsonl")),
      filePath_(file_.filePath()), db_(db), clock_(clock) {
    PelPaths::ensureDirs();
    createDayFile(filePath_);
    writer_ = std::thread([this] { run(); });
}

Journal::~Journal() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (writer_.joinable()) writer_.join();
}

void Journal::emit(const std::string& event, const Json& fields) {
    Record r;
    r.ts = platform::iso8601UTC(clock_.now());
    r.event = event;
    r.object = fields.is_object() ? fields : Json::object();
    r.object["ts"] = r.ts;
    r.object["run"] = runID_;
    r.object["event"] = event;
    r.object["schemaVersion"] = 1;
    if (fields.is_object()) {
        r.bundleID = textField(fields, "bundleID");
        r.source = textField(fields, "source");
        r.code = textField(fields, "code");
        auto it = fields.find("success");
        if (it != fields.end() && it->is_boolean()) r.success = it->get<bool>();
    }
    {
        std::lock_guard guard(mutex_);
        pending_.push_back(std::move(r));
        ++queued_;
    }
    wake_.notify_one();
}

void Journal::flush() {
    if (std::this_thread::get_id() == writer_.get_id()) return; // would wait for itself
    std::unique_lock lock(mutex_);
    std::uint64_t target = queued_;
    written_.wait(lock, [&] { return done_ >= target; });
}

std::optional<std::string> Journal::serialize(const Json& record) {
    if (!allNumbersFinite(record)) return std::nullopt;
    std::string text;
    try {
        text = record.dump(); // compact; object keys are kept sorted; strict UTF-8
    } catch (const Json::exception&) {
        return std::nullopt;
    }
    // A slash can only occur inside a string, so escaping every one is exact.
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '/') out += '\\';
        out += c;
    }
    return out;
}

void Journal::run() {
    std::vector<Record> batch;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
        if (pending_.empty()) return; // stopping, and everything is written
        // Whatever waits goes out together, up to a bound that keeps the store's lock short.
        const std::size_t n = std::min(pending_.size(), kMaxBatch);
        batch.assign(std::make_move_iterator(pending_.begin()),
                     std::make_move_iterator(pending_.begin() + static_cast<std::ptrdiff_t>(n)));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
        lock.unlock();
        try {
            write(batch);
        } catch (...) {
            // One bad batch must not stop the journal.
        }
        batch.clear();
        lock.lock();
        done_ += n;
        written_.notify_all();
    }
}

// Lines first, in order, then their rows in one transaction; every line is formatted before the
// store's lock is taken.
void Journal::write(const std::vector<Record>& batch) {
    std::vector<std::string> lines;
    std::vector<DB::EventRow> rows;
    lines.reserve(batch.size());
    rows.reserve(batch.size());
    for (const Record& r : batch) {
        std::optional<std::string> json;
        try {
            json = serialize(r.object);
        } catch (...) {
            // A record that cannot be written leaves neither line nor row; the rest go on.
        }
        if (!json) continue;
        lines.push_back(*json + "\n");
        rows.push_back(DB::EventRow{r.ts, runID_, r.event, r.bundleID, r.source, r.code, r.success,
                                    std::move(*json)});
    }
    if (lines.empty()) return;
    appendLines(filePath_, lines);
    DB& db = db_ ? *db_ : DB::shared();
    db.insertEvents(rows);
}

} // namespace pelkit
