#include "PelApp/Model/UpdateSheetView.hpp"

#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/ApplicationTableTexts.hpp"
#include "PelApp/Model/L10n.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace pelapp::sheet {

namespace {

bool startsWith(const std::string& line, std::string_view prefix) {
    return line.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

std::vector<AppRow> rows(const AppModel& model) {
    std::vector<AppRow> out;
    for (const auto& id : model.updateQueue) {
        if (const AppRow* row = model.findRow(id)) out.push_back(*row);
    }
    return out;
}

bool allDryRun(const AppModel& model, const std::vector<AppRow>& rows) {
    // An entry whose flag is unknown (a hand-off) writes, so it counts as real.
    return !rows.empty() && std::all_of(rows.begin(), rows.end(), [&](const AppRow& row) {
        return model.entryDryRun(row.id).value_or(false);
    });
}

std::string sizePart(const std::vector<AppRow>& rows) {
    std::int64_t known = 0;
    long long unknown = 0;
    for (const auto& row : rows) {
        if (row.remote && row.remote->sizeBytes) {
            // Saturate rather than wrap on absurd sizes from a feed.
            if (__builtin_add_overflow(known, *row.remote->sizeBytes, &known))
                known = std::numeric_limits<std::int64_t>::max();
        } else {
            ++unknown;
        }
    }
    if (known <= 0 && unknown == 0) return {};
    std::string part = " · " + sizeText(known);
    if (unknown > 0) part += fmt::format(" + {} unknown", unknown);
    return part;
}

std::string header(const std::vector<AppRow>& rows, bool dryRun) {
    if (dryRun) return "Dry-run" + sizePart(rows) + " — no writes will happen";
    return fmt::format("Updating {} app{}{}", rows.size(), rows.size() == 1 ? "" : "s", sizePart(rows));
}

Chip chip(const AppRow& row, const std::vector<std::string>& queue) {
    if (row.updating) return Chip::updating;
    if (row.outcome == pelkit::Outcome::upToDate) return Chip::done;
    if (row.errorCode) return Chip::error;
    if (std::find(queue.begin(), queue.end(), row.id) != queue.end()) return Chip::queued;
    return Chip::none;
}

std::string versionLine(const AppRow& row) {
    return row.app.shortVersion.value_or("?") + " → " + (row.remote ? row.remote->version : L10n::text("—")) +
           "  ·  " + L10n::text(sourceLabel(row));
}

Counts counts(const AppModel& model, std::size_t listed) {
    Counts c;
    c.total = static_cast<long long>(listed);
    const std::size_t start = std::min(model.runLogStart, model.updateLog.size());
    for (auto it = model.updateLog.begin() + static_cast<std::ptrdiff_t>(start); it != model.updateLog.end(); ++it) {
        if (startsWith(*it, "✓")) ++c.ok;
        else if (startsWith(*it, "✗")) ++c.failed;
    }
    return c;
}

std::string countsText(const Counts& counts) {
    return L10n::text("%lld ok · %lld failed · %lld total", {counts.ok, counts.failed, counts.total});
}

Bar bar(const AppModel& model, const std::string& id) {
    Bar b;
    const auto done = model.bytesDone.find(id);
    if (done == model.bytesDone.end()) return b;
    b.shown = true;
    const auto total = model.bytesTotal.find(id);
    if (total == model.bytesTotal.end() || total->second < 1) return b;
    b.determinate = true;
    const double fraction = static_cast<double>(done->second) / static_cast<double>(total->second);
    b.value = static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * kBarScale));
    return b;
}

} // namespace pelapp::sheet
