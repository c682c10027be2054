#include "PelApp/Views/InspectorView.hpp"

#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/ApplicationTableTexts.hpp"
#include "PelApp/Views/StripKit.hpp"
#include "PelApp/Views/UiKit.hpp"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <fmt/core.h>

namespace pelapp {

namespace inspector {

std::string sourceName(const std::optional<pelkit::RemoteVersion>& remote) {
    return sourceLabel(remote);
}

std::string sourceWithToken(const std::optional<pelkit::RemoteVersion>& remote) {
    std::string text = sourceName(remote);
    if (remote && remote->sourceToken) text += " (" + *remote->sourceToken + ")";
    return text;
}

std::string downloadText(const platform::Url& url, std::optional<std::int64_t> sizeBytes) {
    std::string text = url.lastPathComponent();
    return text + " · " + (sizeBytes ? sizeText(*sizeBytes) : std::string("size unknown"));
}

bool isInstallerPackage(const platform::Url& url) {
    const std::string name = url.lastPathComponent();
    const auto dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    std::string extension = name.substr(dot + 1);
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return extension == "pkg";
}

bool needsCaskHandoff(const std::optional<std::string>& artifactType) {
    return artifactType && *artifactType != "app" && *artifactType != "pkg";
}

std::string shaPrefix(const std::string& sha256) {
    return sha256.substr(0, 16) + "…";
}

std::string errorTitle(const std::optional<pelkit::ErrorCode>& code) {
    return code ? std::string(pelkit::rawValue(*code)) : std::string("Error");
}

bool isSafetyAbort(const std::optional<pelkit::ErrorCode>& code) {
    return code && pelkit::rawValue(*code).starts_with("SEC_");
}

} // namespace inspector

namespace {

using ui::SystemColor;
using ui::TextStyle;

constexpr int kLabelWidth = 100;
constexpr const char* kHomebrewSite = "https://brew.sh";

QLabel* textLabel(const QString& text, const char* objectName, TextStyle style, SystemColor color,
                  QWidget* parent) {
    auto* label = ui::plainLabel(text, parent);
    label->setObjectName(objectName);
    label->setWordWrap(true);
    // A long unbroken value (an address, a path) is cut at the column's edge instead of widening it.
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    ui::styleLabel(label, style, color);
    return label;
}

// A short text on one line at its natural width.
QLabel* oneLine(QLabel* label) {
    label->setWordWrap(false);
    label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    return label;
}

void makeSelectable(QLabel* label) {
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

QLabel* iconOnly(std::string_view symbol, const QColor& color, int size, QWidget* parent) {
    auto* icon = new QLabel(parent);
    icon->setPixmap(ui::symbolIcon(symbol, color).pixmap(size, size));
    icon->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return icon;
}

// A row of buttons that does not widen the column: in a narrow one its end is cut off.
void yieldWidth(QWidget* row) {
    row->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

QHBoxLayout* hstack(QWidget* widget, int spacing = -1) {
    auto* layout = new QHBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    if (spacing >= 0) layout->setSpacing(spacing);
    return layout;
}

QVBoxLayout* vstack(QWidget* widget, int spacing) {
    auto* layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    layout->setAlignment(Qt::AlignTop);
    return layout;
}

// A label and its value, both verbatim; the value can be selected and copied.
QWidget* row2(const char* objectName, std::string_view label, const std::string& value, QWidget* parent) {
    auto* row = new QWidget(parent);
    row->setObjectName(objectName);
    auto* layout = hstack(row);
    layout->setAlignment(Qt::AlignTop);
    auto* name = textLabel(ui::qs(label), "row2Label", TextStyle::body, SystemColor::secondary, row);
    oneLine(name)->setFixedWidth(kLabelWidth);
    auto* text = textLabel(ui::qs(value), "row2Value", TextStyle::body, SystemColor::primary, row);
    makeSelectable(text);
    layout->addWidget(name, 0, Qt::AlignTop);
    layout->addWidget(text, 1, Qt::AlignTop);
    return row;
}

QWidget* warningBox(const char* objectName, std::string_view symbol, const QString& text, QWidget* parent) {
    auto* box = new QFrame(parent);
    box->setObjectName(objectName);
    const QColor fill = ui::withOpacity(ui::systemColor(SystemColor::orange), 0.10);
    box->setStyleSheet(
        ui::qs(fmt::format("#{} {{ background-color: rgba({}, {}, {}, {}); border-radius: 6px; }}",
                           objectName, fill.red(), fill.green(), fill.blue(), fill.alpha())));
    auto* layout = hstack(box, 6);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addWidget(iconOnly(symbol, ui::systemColor(SystemColor::orange), 14, box), 0, Qt::AlignVCenter);
    layout->addWidget(textLabel(text, "warningText", TextStyle::caption, SystemColor::orange, box), 1);
    return box;
}

// A title with its symbol, both in one colour.
QWidget* statusTitle(std::string_view symbol, const QString& title, SystemColor color, QWidget* parent) {
    auto* line = new QWidget(parent);
    line->setObjectName("statusTitle");
    auto* layout = hstack(line);
    layout->addWidget(iconOnly(symbol, ui::systemColor(color), 16, line), 0, Qt::AlignVCenter);
    layout->addWidget(textLabel(title, "statusTitleText", TextStyle::body, color, line), 1);
    return line;
}

QPushButton* button(std::string_view key, const char* objectName, QWidget* parent,
                    std::string_view symbol = {}) {
    auto* b = ui::pushButton(key, objectName, parent);
    if (!symbol.empty()) b->setIcon(ui::symbolIcon(symbol));
    return b;
}

// The accent-filled look of the primary action; a disabled button keeps the standard look.
void makeProminent(QPushButton* b) {
    QPalette palette = b->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Button, ui::systemColor(SystemColor::blue));
        palette.setColor(group, QPalette::ButtonText, ui::systemColor(SystemColor::white));
    }
    b->setPalette(palette);
    b->setProperty("prominent", true);
}

void start(AppModel& model, Task<void> body) {
    MainTask::start(model.executor(), std::move(body));
}

QWidget* header(const AppRow& row, QWidget* parent) {
    auto* block = new QWidget(parent);
    block->setObjectName("detailHeader");
    auto* layout = vstack(block, 4);
    auto* name =
        textLabel(ui::qs(row.app.name), "detailName", TextStyle::title2, SystemColor::primary, block);
    QFont bold = name->font();
    bold.setBold(true);
    name->setFont(bold);
    layout->addWidget(name);
    auto* id = textLabel(ui::qs(row.app.bundleID), "detailBundleID", TextStyle::caption,
                         SystemColor::secondary, block);
    makeSelectable(id);
    layout->addWidget(id);

    auto* versions = new QWidget(block);
    versions->setObjectName("detailVersions");
    auto* line = hstack(versions, 8);
    line->setContentsMargins(0, 4, 0, 0);
    auto* installed = textLabel(ui::qs(row.app.shortVersion.value_or("?")), "installedVersion",
                                TextStyle::monospacedBody, SystemColor::primary, versions);
    oneLine(installed);
    line->addWidget(installed);
    if (row.outcome == pelkit::Outcome::outdated) {
        auto* arrow = iconOnly("arrow.right", ui::systemColor(SystemColor::primary), 10, versions);
        arrow->setObjectName("versionArrow");
        line->addWidget(arrow, 0, Qt::AlignVCenter);
        auto* remote = textLabel(ui::qs(latestText(row)), "remoteVersion",
                                 TextStyle::monospacedBody, SystemColor::blue, versions);
        oneLine(remote);
        QFont f = remote->font();
        f.setBold(true);
        remote->setFont(f);
        line->addWidget(remote);
    }
    line->addStretch(1);
    layout->addWidget(versions);
    return block;
}

QWidget* actions(AppModel& model, const AppRow& row, const InspectorContext& context, QWidget* parent) {
    auto* bar = new QWidget(parent);
    bar->setObjectName("detailActions");
    yieldWidth(bar);
    auto* layout = hstack(bar, 8);
    const bool busy = model.isBusy(row.id);
    if (row.outcome == pelkit::Outcome::outdated) {
        auto* update = button(busy ? "Queued…" : "Update", "updateButton", bar);
        makeProminent(update);
        update->setEnabled(!busy);
        // The window's dry-run switch holds here as in the table: a dry run never installs.
        QObject::connect(update, &QPushButton::clicked, bar,
                         [&model, row, dryRun = context.dryRun] { model.updateOne(row, dryRun); });
        layout->addWidget(update);
    }
    auto* rescan = button("Rescan", "rescanButton", bar, "arrow.clockwise");
    rescan->setEnabled(!row.checking);
    QObject::connect(rescan, &QPushButton::clicked, bar,
                     [&model, id = row.id] { start(model, model.rescanOne(id)); });
    layout->addWidget(rescan);
    auto* ignore = button("Ignore", "ignoreButton", bar, "eye.slash");
    QObject::connect(ignore, &QPushButton::clicked, bar,
                     [&model, row] { model.ignore(row, std::string(kReasonIgnoredFromTable)); });
    layout->addWidget(ignore);
    layout->addStretch(1);
    return bar;
}

QWidget* brewFallback(AppModel& model, const AppRow& row, const std::string& token,
                      const InspectorContext& context, QWidget* parent) {
    auto* holder = new QWidget(parent);
    holder->setObjectName("brewFallback");
    auto* layout = hstack(holder, 8);
    if (context.hasBrew) {
        auto* brew = button("Update via Homebrew", "brewButton", holder, "terminal");
        // The hand-off always installs, so it waits while the window asks for dry runs.
        brew->setEnabled(!model.isBusy(row.id) && !context.dryRun);
        brew->setToolTip(ui::plainToolTip(ui::localizedInserting(
            "Runs 'brew install --cask %@ --force'. Bypasses our Team-ID cross-check.", ui::qs(token))));
        QObject::connect(brew, &QPushButton::clicked, holder,
                         [&model, row, token] { start(model, model.updateViaBrew(row, token)); });
        layout->addWidget(brew);
        layout->addStretch(1);
    } else {
        const std::string hint = fmt::format("Install brew ({}) to enable Homebrew hand-off.", kHomebrewSite);
        layout->addWidget(
            textLabel(ui::localized(hint), "brewHint", TextStyle::caption, SystemColor::secondary, holder));
    }
    return holder;
}

void installableSection(AppModel& model, const AppRow& row, const InspectorContext& context, QWidget* section,
                        QVBoxLayout* layout) {
    const auto& remote = row.remote;
    layout->addWidget(row2("sourceRow", "Source", inspector::sourceWithToken(remote), section));
    if (!remote) return;
    if (inspector::needsCaskHandoff(remote->artifactType)) {
        const QString text = ui::localizedInserting(
            "Cask artifact: %@ — needs Homebrew hand-off, native path can't handle this.",
            ui::qs(*remote->artifactType));
        layout->addWidget(warningBox("caskWarning", "arrow.triangle.branch", text, section));
    }
    if (remote->source == pelkit::AppSource::homebrew && remote->sourceToken) {
        layout->addWidget(brewFallback(model, row, *remote->sourceToken, context, section));
    }
    if (const auto& url = remote->downloadURL) {
        layout->addWidget(
            row2("downloadRow", "Download", inspector::downloadText(*url, remote->sizeBytes), section));
        auto* address = textLabel(ui::qs(url->text()), "downloadAddress", TextStyle::caption,
                                  SystemColor::secondary, section);
        makeSelectable(address);
        layout->addWidget(address);
        if (inspector::isInstallerPackage(*url)) {
            layout->addWidget(warningBox(
                "installerWarning", "lock.shield",
                ui::localized("Installer package — will prompt for admin password. No atomic rollback."),
                section));
        }
    }
    if (const auto& team = row.app.teamID) {
        auto* signedBy = new QWidget(section);
        signedBy->setObjectName("signedByRow");
        auto* line = hstack(signedBy);
        auto* label = textLabel(ui::localized("Signed by"), "row2Label", TextStyle::body,
                                SystemColor::secondary, signedBy);
        oneLine(label)->setFixedWidth(kLabelWidth);
        line->addWidget(label, 0, Qt::AlignVCenter);
        line->addWidget(oneLine(textLabel(ui::qs(*team), "teamID", TextStyle::monospacedBody,
                                          SystemColor::primary, signedBy)),
                        0, Qt::AlignVCenter);
        auto* seal = iconOnly("checkmark.seal.fill", ui::systemColor(SystemColor::green), 14, signedBy);
        seal->setObjectName("signedBySeal");
        seal->setToolTip(ui::plainToolTip(ui::localized("Installed copy Team ID recorded")));
        line->addWidget(seal, 0, Qt::AlignVCenter);
        line->addStretch(1);
        layout->addWidget(signedBy);
    }
    if (remote->minSystemVersion) {
        layout->addWidget(row2("requiresRow", "Requires macOS", *remote->minSystemVersion + "+", section));
    }
    if (remote->sha256)
        layout->addWidget(row2("shaRow", "SHA-256", inspector::shaPrefix(*remote->sha256), section));
    if (remote->notes) {
        auto* holder = new QWidget(section);
        holder->setObjectName("notesBlock");
        auto* box = vstack(holder, 0);
        box->setContentsMargins(0, 8, 0, 0);
        box->addWidget(
            textLabel(ui::qs(*remote->notes), "notes", TextStyle::callout, SystemColor::secondary, holder));
        layout->addWidget(holder);
    }
}

void upToDateSection(const AppRow& row, QWidget* section, QVBoxLayout* layout) {
    layout->addWidget(
        statusTitle("checkmark.circle.fill", ui::localized("Up to date"), SystemColor::green, section));
    layout->addWidget(row2("sourceRow", "Source", inspector::sourceName(row.remote), section));
}

void masHandoff(AppModel& model, const AppRow& row, const InspectorContext& context, QWidget* section,
                QVBoxLayout* layout) {
    auto* buttons = new QWidget(section);
    buttons->setObjectName("masButtons");
    yieldWidth(buttons);
    auto* line = hstack(buttons, 8);
    const std::string token =
        row.remote && row.remote->sourceToken ? *row.remote->sourceToken : std::string();
    if (!token.empty()) {
        auto* open = button("Open in App Store", "openInAppStoreButton", buttons, "arrow.up.forward.app");
        makeProminent(open);
        QObject::connect(open, &QPushButton::clicked, buttons,
                         [&model, token] { model.openInAppStore(token); });
        line->addWidget(open);
        if (context.hasMas) {
            auto* mas = button("Update via mas CLI", "masButton", buttons, "terminal");
            // The hand-off always installs, so it waits while the window asks for dry runs.
            mas->setEnabled(!context.dryRun);
            QObject::connect(mas, &QPushButton::clicked, buttons,
                             [&model, token, name = row.app.name, bundleID = row.app.bundleID] {
                                 start(model, model.triggerMasUpgrade(token, name, bundleID));
                             });
            line->addWidget(mas);
        }
    }
    auto* all = button("All Updates", "allUpdatesButton", buttons, "square.grid.2x2");
    QObject::connect(all, &QPushButton::clicked, buttons, [&model] { model.openAppStoreUpdatesPage(); });
    line->addWidget(all);
    line->addStretch(1);
    layout->addWidget(buttons);
    if (!context.hasMas) {
        layout->addWidget(textLabel(
            ui::localized(
                "Install 'mas' via Homebrew (brew install mas) to trigger updates directly from here."),
            "masHint", TextStyle::caption, SystemColor::secondary, section));
    }
}

void unsupportedSection(AppModel& model, const AppRow& row, const InspectorContext& context, QWidget* section,
                        QVBoxLayout* layout) {
    layout->addWidget(
        statusTitle("info.circle.fill", ui::localized("Informational only"), SystemColor::blue, section));
    if (row.remote && row.remote->notes) {
        layout->addWidget(textLabel(ui::qs(*row.remote->notes), "notes", TextStyle::callout,
                                    SystemColor::secondary, section));
    }
    if (row.app.isMacAppStore) {
        masHandoff(model, row, context, section, layout);
    } else {
        layout->addWidget(textLabel(ui::localized("Managed externally — update via the source app."),
                                    "managedExternally", TextStyle::callout, SystemColor::primary, section));
    }
}

void unresolvedSection(const InspectorContext& context, QWidget* section, QVBoxLayout* layout) {
    layout->addWidget(statusTitle("questionmark.circle.fill", ui::localized("No source found"),
                                  SystemColor::orange, section));
    layout->addWidget(
        textLabel(ui::localized("No Homebrew Cask, Sparkle feed, or App Store record matches this app."),
                  "unresolvedExplanation", TextStyle::callout, SystemColor::secondary, section));
    // Names the file the overrides store really writes, which is not always the working folder's.
    auto* hint = textLabel(
        ui::localizedInserting("Add a caskToken or sparkleFeedURL entry to %@ to teach pel how to find it.",
                               ui::qs(context.overridesPath)),
        "overridesHint", TextStyle::callout, SystemColor::secondary, section);
    makeSelectable(hint);
    layout->addWidget(hint);
}

void errorSection(const AppRow& row, QWidget* section, QVBoxLayout* layout) {
    auto* title = statusTitle("exclamationmark.octagon.fill", ui::qs(inspector::errorTitle(row.errorCode)),
                              SystemColor::red, section);
    title->setObjectName("errorTitle");
    layout->addWidget(title);
    if (row.errorMessage) {
        layout->addWidget(textLabel(ui::qs(*row.errorMessage), "errorMessage", TextStyle::callout,
                                    SystemColor::primary, section));
    }
    if (inspector::isSafetyAbort(row.errorCode)) {
        auto* note = textLabel(
            ui::localized("This is a safety abort. The download did not match the currently "
                          "installed copy's Team ID or signature. Nothing has been changed on this Mac."),
            "safetyNote", TextStyle::callout, SystemColor::red, section);
        note->setContentsMargins(8, 8, 8, 8);
        const QColor fill = ui::withOpacity(ui::systemColor(SystemColor::red), 0.08);
        note->setStyleSheet(ui::qs(fmt::format("#safetyNote {{ background-color: rgba({}, {}, {}, {}); "
                                               "border-radius: 6px; }}",
                                               fill.red(), fill.green(), fill.blue(), fill.alpha())));
        layout->addWidget(note);
    }
}

const char* sectionName(pelkit::Outcome outcome) {
    switch (outcome) {
    case pelkit::Outcome::upToDate:
        return "upToDateSection";
    case pelkit::Outcome::outdated:
        return "installableSection";
    case pelkit::Outcome::unresolved:
        return "unresolvedSection";
    case pelkit::Outcome::unsupported:
        return "unsupportedSection";
    case pelkit::Outcome::error:
        return "errorSection";
    }
    return "section";
}

QWidget* outcomeSection(AppModel& model, const AppRow& row, const InspectorContext& context,
                        QWidget* parent) {
    auto* section = new QWidget(parent);
    section->setObjectName(sectionName(row.outcome));
    auto* layout = vstack(section, 8);
    switch (row.outcome) {
    case pelkit::Outcome::upToDate:
        upToDateSection(row, section, layout);
        break;
    case pelkit::Outcome::outdated:
        installableSection(model, row, context, section, layout);
        break;
    case pelkit::Outcome::unresolved:
        unresolvedSection(context, section, layout);
        break;
    case pelkit::Outcome::unsupported:
        unsupportedSection(model, row, context, section, layout);
        break;
    case pelkit::Outcome::error:
        errorSection(row, section, layout);
        break;
    }
    return section;
}

QWidget* metadataSection(const AppRow& row, QWidget* parent) {
    auto* section = new QWidget(parent);
    section->setObjectName("metadataSection");
    auto* layout = vstack(section, 6);
    layout->addWidget(textLabel(ui::localized("Bundle"), "bundleHeading", TextStyle::caption,
                                SystemColor::secondary, section));
    const auto& app = row.app;
    layout->addWidget(row2("pathRow", "Path", app.path.filePath(), section));
    if (app.buildVersion) layout->addWidget(row2("buildRow", "Build", *app.buildVersion, section));
    if (!app.archs.empty()) {
        std::string archs;
        for (const auto& arch : app.archs)
            archs += (archs.empty() ? "" : ", ") + arch;
        layout->addWidget(row2("archRow", "Arch", archs, section));
    }
    if (app.isMacAppStore) layout->addWidget(row2("originRow", "Origin", "Mac App Store", section));
    if (app.sparkleFeedURL) layout->addWidget(row2("sparkleRow", "Sparkle", "yes", section));
    return section;
}

} // namespace

QWidget* buildInspector(AppModel& model, const AppRow& row, const InspectorContext& context,
                        QWidget* parent) {
    auto* content = new QWidget(parent);
    content->setObjectName("inspectorContent");
    content->setProperty("rowID", ui::qs(row.id));
    auto* layout = vstack(content, 12);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->addWidget(header(row, content));
    layout->addWidget(actions(model, row, context, content));
    layout->addWidget(ui::divider(content, "detailDivider"));
    layout->addWidget(outcomeSection(model, row, context, content));
    layout->addWidget(ui::divider(content, "detailDivider"));
    layout->addWidget(metadataSection(row, content));
    return content;
}

} // namespace pelapp
