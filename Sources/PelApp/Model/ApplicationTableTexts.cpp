#include "PelApp/Model/ApplicationTableTexts.hpp"

#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/L10n.hpp"
#include "PelApp/Model/RelativeDateFormatter.hpp"

#include <fmt/format.h>

namespace pelapp {

using pelkit::Outcome;

namespace {

bool sameRemote(const std::optional<pelkit::RemoteVersion>& a, const std::optional<pelkit::RemoteVersion>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    return a->version == b->version && a->source == b->source && a->sizeBytes == b->sizeBytes;
}

} // namespace

bool drawsAlike(const TableRow& a, const TableRow& b) {
    const AppRow& x = a.row;
    const AppRow& y = b.row;
    return a.checked == b.checked && a.busy == b.busy && a.running == b.running && x.id == y.id &&
           x.outcome == y.outcome && x.checking == y.checking && x.updating == y.updating &&
           x.errorCode == y.errorCode && x.progressText == y.progressText && x.app.name == y.app.name &&
           x.app.bundleID == y.app.bundleID && x.app.shortVersion == y.app.shortVersion &&
           x.app.path == y.app.path && sameRemote(x.remote, y.remote);
}

std::string installedText(const AppRow& row) {
    return row.app.shortVersion.value_or("?");
}

std::string latestText(const AppRow& row) {
    return row.remote ? row.remote->version : std::string(kNoValue);
}

std::string sourceLabel(const std::optional<pelkit::RemoteVersion>& remote) {
    if (!remote) return std::string(kNoValue);
    switch (remote->source) {
    case pelkit::AppSource::homebrew: return "Homebrew";
    case pelkit::AppSource::sparkle: return "Sparkle";
    case pelkit::AppSource::macAppStore: return "App Store";
    case pelkit::AppSource::none: break;
    }
    return std::string(kNoValue);
}

std::string sourceLabel(const AppRow& row) {
    return sourceLabel(row.remote);
}

std::string sizeText(std::int64_t bytes) {
    return fmt::format("{:.1f} MB", static_cast<double>(bytes) / 1'048'576.0);
}

SizeCell sizeCell(const AppRow& row) {
    if (row.remote && row.remote->sizeBytes) return SizeCell::size;
    if (row.outcome == Outcome::outdated) return SizeCell::probe;
    return SizeCell::none;
}

std::string sizeCellText(const AppRow& row) {
    switch (sizeCell(row)) {
    case SizeCell::size: return sizeText(*row.remote->sizeBytes);
    case SizeCell::probe: return "?";
    case SizeCell::none: break;
    }
    return std::string(kNoValue);
}

std::vector<CellButton> actionButtons(const TableRow& row) {
    std::vector<CellButton> buttons;
    if (row.busy) buttons.push_back({CellControl::cancel});
    else if (row.row.outcome == Outcome::outdated) buttons.push_back({CellControl::update});
    buttons.push_back({CellControl::rescan, !row.row.checking});
    buttons.push_back({CellControl::ignore});
    return buttons;
}

std::string helpText(CellControl control, bool running) {
    switch (control) {
    case CellControl::checkBox: return {};
    case CellControl::runningDot: return L10n::text(running ? "Running (or helpers active)" : "Idle");
    case CellControl::probe: return L10n::text("Probe size (HEAD request)");
    case CellControl::cancel: return L10n::text("Cancel this update");
    case CellControl::update: return L10n::text("Update this app now");
    case CellControl::rescan: return L10n::text("Rescan just this app");
    case CellControl::ignore: return L10n::text("Ignore this app");
    }
    return {};
}

std::string emptyStateMessage(Filter filter) {
    switch (filter) {
    case Filter::all: return "No apps found.";
    case Filter::outdated: return "Nothing outdated. All apps up to date or informational.";
    case Filter::idleOutdated: return "No idle outdated apps — everything with an update is currently running.";
    case Filter::unsupported: return "No unsupported apps in this scan.";
    case Filter::ignored: return "No ignored apps yet.";
    }
    return {};
}

bool emptyStateOffersShowAll(Filter filter) {
    return filter != Filter::all;
}

std::string footerCountsText(long long shown, long long outdated, long long total) {
    return L10n::text("%lld shown · %lld outdated · %lld hidden by filter", {shown, outdated, total - shown});
}

std::string lastScanText(platform::TimePoint lastScan, platform::TimePoint now) {
    return L10n::text("Last scan: ") + RelativeDateFormatter::describe(lastScan, now);
}

ContextMenuContent contextMenuFor(const AppModel& model, const std::set<std::string>& ids) {
    ContextMenuContent content;
    if (ids.empty()) return content;
    const AppRow* row = model.findRow(*ids.begin());
    if (!row) return content;
    content.row = *row;
    const std::string& name = row->app.name;
    using Kind = MenuEntry::Kind;
    if (row->outcome == Outcome::outdated)
        content.entries.push_back({Kind::update, L10n::inserting("Update %@", name), !model.isBusy(row->id)});
    content.entries.push_back({Kind::rescan, L10n::inserting("Rescan %@", name)});
    content.entries.push_back({Kind::divider, {}});
    content.entries.push_back({Kind::ignore, L10n::inserting("Ignore %@", name)});
    content.entries.push_back({Kind::copyBundleID, L10n::text("Copy Bundle ID")});
    return content;
}

} // namespace pelapp
