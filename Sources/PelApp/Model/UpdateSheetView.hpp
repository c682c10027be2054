#pragma once

#include "PelApp/Model/AppRow.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace pelapp {

class AppModel;

// What the update sheet shows, derived from the model afresh at every redraw; no widgets here.
namespace sheet {

// The rows of the queued or running updates, in queue order; an identifier without a row is skipped.
std::vector<AppRow> rows(const AppModel& model);

// True when every listed entry is a dry run (and there is at least one): only then may the header
// promise that nothing is written.
bool allDryRun(const AppModel& model, const std::vector<AppRow>& rows);

// " · 152.4 MB + 1 unknown", or "" when there are no rows.
std::string sizePart(const std::vector<AppRow>& rows);
std::string header(const std::vector<AppRow>& rows, bool dryRun);

// The first case that holds for a row, in this order.
enum class Chip { updating, done, error, queued, none };
Chip chip(const AppRow& row, const std::vector<std::string>& queue);

// "4.2.1 → 5.0.0  ·  Sparkle"
std::string versionLine(const AppRow& row);

struct Counts {
    long long ok = 0;
    long long failed = 0;
    long long total = 0;
};
// ok and failed count the finished and failed lines of the current (or last) run, so they agree
// with total, the number of listed entries.
Counts counts(const AppModel& model, std::size_t listed);
std::string countsText(const Counts& counts);

// A progress bar over a fixed scale: byte counts are 64-bit, a bar's range is an int.
inline constexpr int kBarScale = 10'000;
struct Bar {
    bool shown = false;
    bool determinate = false;
    int value = 0; // 0…kBarScale when determinate
    bool operator==(const Bar&) const = default;
};
Bar bar(const AppModel& model, const std::string& id);

} // namespace sheet

} // namespace pelapp
