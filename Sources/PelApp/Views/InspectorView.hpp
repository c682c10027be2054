#pragma once

#include "PelApp/Model/AppRow.hpp"
#include "PelKit/Models.hpp"

#include <cstdint>
#include <optional>
#include <string>

class QWidget;

namespace pelapp {

class AppModel;

// The values of the detail pane that are texts or yes/no rules over one row.
namespace inspector {

// "Homebrew", "Sparkle", "App Store", or "—" for no source or no remote record.
std::string sourceName(const std::optional<pelkit::RemoteVersion>& remote);
// The source name followed by " (token)" when the remote record has a source token.
std::string sourceWithToken(const std::optional<pelkit::RemoteVersion>& remote);
// The download's file name and " · 1.5 MB" (bytes / 1,048,576) or " · size unknown".
std::string downloadText(const platform::Url& url, std::optional<std::int64_t> sizeBytes);
// The address names an installer package: its file-name extension is "pkg" in any letter case.
bool isInstallerPackage(const platform::Url& url);
// An artifact type the native installer cannot handle (anything but "app" and "pkg").
bool needsCaskHandoff(const std::optional<std::string>& artifactType);
// The first 16 characters and "…" (a shorter value whole, with the "…" all the same).
std::string shaPrefix(const std::string& sha256);
// The error code's raw value, or "Error".
std::string errorTitle(const std::optional<pelkit::ErrorCode>& code);
// A code of the safety class ("SEC_" raw values).
bool isSafetyAbort(const std::optional<pelkit::ErrorCode>& code);

} // namespace inspector

// What one build of the pane draws besides the row: the window's dry-run switch, and the tool
// lookups made for this build (never cached, so a tool installed meanwhile shows at the next build).
struct InspectorContext {
    bool dryRun = false;
    bool hasBrew = false;
    bool hasMas = false;
    std::string overridesPath;
    bool operator==(const InspectorContext&) const = default;
};

// Builds the pane's content for `row`: header, actions, the section of its outcome and the bundle's
// metadata. Every control calls into `model`; `row` is copied into the actions that need it.
QWidget* buildInspector(AppModel& model, const AppRow& row, const InspectorContext& context, QWidget* parent);

} // namespace pelapp
