#pragma once

#include "PelApp/Model/AppRow.hpp"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace pelapp {

class AppModel;

// What one table row shows, taken from the model at refresh time.
struct TableRow {
    AppRow row;
    bool checked = false; // the id is in checkedIDs
    bool busy = false;    // its update is queued or running
    bool running = false; // the application (or a helper) runs
};

// Whether two rows draw alike (AppRow's own equality compares identifiers only).
bool drawsAlike(const TableRow& a, const TableRow& b);

// ---- Cells ----

inline constexpr std::string_view kNoValue = "—";
inline constexpr std::string_view kReasonIgnoredFromTable = "user ignored via UI";

std::string installedText(const AppRow& row);
// The remote version, or "—" without one (the spinner is drawn instead while checking).
std::string latestText(const AppRow& row);
// "Homebrew", "Sparkle", "App Store", or "—" for no source or no remote record.
std::string sourceLabel(const std::optional<pelkit::RemoteVersion>& remote);
std::string sourceLabel(const AppRow& row);
// Mebibytes with one decimal: "1.5 MB".
std::string sizeText(std::int64_t bytes);

enum class SizeCell { size, probe, none };
SizeCell sizeCell(const AppRow& row);
// The size cell as text: the size, "?" for the probe button, else "—".
std::string sizeCellText(const AppRow& row);

// The controls drawn in cells; the running dot only carries help.
enum class CellControl { checkBox, runningDot, probe, cancel, update, rescan, ignore };

struct CellButton {
    CellControl control;
    bool enabled = true;
};

// The action column's buttons, in order.
std::vector<CellButton> actionButtons(const TableRow& row);
// The help text of a control (the running dot's depends on `running`).
std::string helpText(CellControl control, bool running = false);

// ---- Around the table ----

std::string emptyStateMessage(Filter filter);
// Every filter but "All" offers the link back to all rows.
bool emptyStateOffersShowAll(Filter filter);
std::string footerCountsText(long long shown, long long outdated, long long total);
// "Last scan: " and how long ago, from `now`.
std::string lastScanText(platform::TimePoint lastScan, platform::TimePoint now);

// ---- Context menu ----

struct MenuEntry {
    enum class Kind { update, rescan, divider, ignore, copyBundleID };
    Kind kind;
    std::string text;
    bool enabled = true;
};

struct ContextMenuContent {
    // The row the entries act on (looked up in all rows); absent: no entries.
    std::optional<AppRow> row;
    std::vector<MenuEntry> entries;
};

// The entries for the rows `ids` name: the first identifier of the set, found among all rows.
ContextMenuContent contextMenuFor(const AppModel& model, const std::set<std::string>& ids);

} // namespace pelapp
