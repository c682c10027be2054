#pragma once

#include "PelKit/Models.hpp"
#include "Platform/Workspace.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
class FileOps;
}

namespace pelkit {

class Journal;

// ---- Shared by every installer operation ----

struct InstallOptions {
    explicit InstallOptions(bool dryRun) : dryRun(dryRun) {}

    // Changes nothing and returns a successful result whose message begins "dry-run: ".
    bool dryRun;
};

// The outcome of one update. A failure is thrown, never returned, so `success` is true in every
// result the installer and the engine build.
class InstallResult {
public:
    InstallResult(bool success, std::string message, std::optional<Url> backupURL,
                  std::optional<PelError> error)
        : success_(success), message_(std::move(message)), backupURL_(std::move(backupURL)),
          error_(std::move(error)) {}

    bool success() const { return success_; }
    const std::string& message() const { return message_; }
    const std::optional<Url>& backupURL() const { return backupURL_; }
    const std::optional<PelError>& error() const { return error_; }

private:
    bool success_;
    std::string message_;
    std::optional<Url> backupURL_;
    std::optional<PelError> error_;
};

// Puts one downloaded update onto the machine. Stateless; every operation blocks until its tools end.
// The operations are spread over InstallerExtract.cpp (pre-flight, formats, extraction),
// InstallerPkg.cpp (installer packages, Homebrew) and InstallerReplace.cpp (the bundle swap).
class Installer {
public:
    Installer() = delete;

    enum class Format { zip, dmg, targz, tbz, pkg, unknown };

    struct PkgSignatureInfo {
        bool isSigned = false; // the system tool reports the package as signed
        std::optional<std::string> teamID;
        std::optional<std::string> developer;

        bool operator==(const PkgSignatureInfo&) const = default;
    };

    // Free bytes of the volume holding a folder; nothing when they cannot be read.
    using FreeBytesQuery = std::function<std::optional<std::int64_t>(const Url& folder)>;

    // ---- Bundle replacement (InstallerReplace.cpp) ----

    // What a replacement asks of the machine; each member left empty takes the production default.
    struct ReplaceSeams {
        // May the user write this path? Default: access(path, W_OK) == 0.
        std::function<bool(const std::string& path)> isWritable;
        // The moves and removals of the swap and its rollback. Default: plain calls.
        platform::FileOps* fileOps = nullptr;
        // Where the administrator staging folder is made. Default: the system temporary folder.
        std::optional<std::filesystem::path> temporaryDirectory;
    };

    // Puts the verified bundle at the installed bundle's path under the installed name. A writable
    // bundle is exchanged in one step with a backup copy kept under PelPaths::backupDir() and the
    // previous bundle kept as "<name>.backup" until `codesign --verify` has passed, else rolled back;
    // a bundle the user may not write goes through installAppAsAdmin. A dry run changes nothing. The
    // journal is accepted and not used. Throws PelError or the tool runner's errors.
    static InstallResult install(const InstalledApp& app, const Url& verifiedApp,
                                 const InstallOptions& options, Journal* journal = nullptr);
    static InstallResult install(const InstalledApp& app, const Url& verifiedApp,
                                 const InstallOptions& options, Journal* journal, const ReplaceSeams& seams);

    // Replaces the bundle through an administrator script behind the system's password prompt, after
    // a backup copy has been made (none made: nothing is attempted). No rollback. Throws PelError,
    // the tool runner's errors, or the error of creating its staging folder.
    static InstallResult installAppAsAdmin(const InstalledApp& app, const Url& verifiedApp);
    static InstallResult installAppAsAdmin(const InstalledApp& app, const Url& verifiedApp,
                                           const ReplaceSeams& seams);

    // True when the user may not write the installed bundle's path (the same test `install` uses).
    static bool needsAdminForApp(const InstalledApp& app);
    static bool needsAdminForApp(const InstalledApp& app, const ReplaceSeams& seams);

    // Where the backup copy of this installed bundle goes: backupDir/<bundle>/<version>/<name>, each
    // component made safe as in the download cache, an empty one (or a missing version) "unknown".
    // The version is the bundle's own, read from its Info.plist now; the record's only when the
    // bundle cannot be read.
    static Url backupCopyURL(const InstalledApp& app);

    // ---- Pre-flight, format detection and extraction (InstallerExtract.cpp) ----

    // Absent when the update may go on; never throws (the caller throws what it returns). Running
    // copies come from the platform's workspace and free space from `freeBytes(on:)` unless given.
    static std::optional<PelError> preflight(const InstalledApp& app,
                                             std::optional<std::int64_t> expectedDownloadBytes);
    static std::optional<PelError> preflight(const InstalledApp& app,
                                             std::optional<std::int64_t> expectedDownloadBytes,
                                             const platform::Workspace& workspace,
                                             const FreeBytesQuery& freeBytes);

    static std::optional<std::int64_t> freeBytes(const Url& folder);

    // Content first (a disk image's trailer, then leading magic bytes), then the file name. Never fails.
    static Format detectFormat(const Url& file);

    // Unpacks `archive` into `tempDir` (created 0700) and returns the application bundle or installer
    // package found there. Throws PelError, the tool runner's errors, or the file system's error of
    // creating the folder.
    static Url extract(const Url& archive, const Url& tempDir);
    // The same, first refusing with ENV_DISK_FULL an archive whose expanded size is more than
    // `freeBytes` reports for `tempDir`, and with UNS_ARCHIVE_FORMAT a zip or tar whose listing
    // cannot be read. No space test is made when either size cannot be had.
    static Url extract(const Url& archive, const Url& tempDir, const FreeBytesQuery& freeBytes);

    // What the archive unpacks to, found without unpacking it or writing anything
    // (InstallerExpandedSize*.cpp): a zip's entries inflated (the sizes its headers record are only
    // a floor), the file sizes of a tar's headers with sparse files at their real size, or a disk
    // image's own size from its trailer. A stream that ends early counts what its headers gave so
    // far. Nothing for a package, an unknown format, a file that cannot be opened or an image
    // without its trailer. Throws UNS_ARCHIVE_FORMAT "cannot read the archive's listing: " and a
    // reason for a zip or tar whose listing cannot be read, or that an unpacker could read
    // otherwise (a .tar.gz whose content is no gzip, a header that fails its checksum, a method
    // that cannot be inflated): such a listing is never counted.
    static std::optional<std::int64_t> expandedSize(const Url& archive, Format format);

    // Mounts the image, copies its first top-level bundle (else package) into `into`, detaches. An
    // attach that fails to end in time is followed by detaching whatever got attached from the
    // image; an image not known to be detached stays recorded for Engine::sweepLeftovers.
    static void extractDMG(const Url& archive, const Url& into);

    // Detaches every image that `hdiutil info` lists as attached from this file. True when none is
    // left attached; false when hdiutil is missing or fails, or a detach fails.
    static bool detachImagesOf(const std::string& imagePath);

    // The first "mount-point" of "system-entities" that is a non-empty string.
    static std::optional<std::string> parseMountPoint(const std::string& hdiutilPlist);

    // A bundle or package at the top of `folder`, else one folder below; only items that resolve to a
    // place inside `folder` count.
    static Url findApp(const Url& folder);

    // Direct, non-hidden entries named "*.app" (case-sensitive) or "*.pkg" (any case), in listing
    // order. An entry counts only when it resolves (links followed) to a place inside `within`; a
    // folder that cannot be listed gives nothing.
    static std::vector<Url> shallowApps(const Url& folder);
    static std::vector<Url> shallowApps(const Url& folder, const Url& within);
    static std::vector<Url> shallowPkgs(const Url& folder);
    static std::vector<Url> shallowPkgs(const Url& folder, const Url& within);

    // ---- Installer packages and Homebrew (InstallerPkg.cpp) ----

    // Called with one line of text; may be called from any thread.
    using Progress = std::function<void(const std::string& line)>;

    // `pkgutil --check-signature`: signed only with exit status 0 and a first "Status:" line that
    // begins "signed" and names no untrusted, revoked or expired certificate;
    // Team ID and developer from the first "Developer ID Installer:" certificate line (numbered or
    // not). A path holding a control character is not signed, and pkgutil does not run for it: the
    // tool echoes the name, where a line break would start a line of the name's choosing. Throws
    // PelError when pkgutil is missing, or the tool runner's errors.
    static PkgSignatureInfo inspectPkg(const Url& pkg);

    // Refuses a path holding a control character (SEC_SIGNATURE_INVALID), checks the package's
    // signature and Team ID (refused only when both Team IDs are known and differ), then runs the system
    // installer behind the administrator prompt. A dry run stops after the checks. Only `app.bundleID` is
    // used (for errors); the journal is accepted and not used.
    static InstallResult installPkg(const InstalledApp& app, const Url& pkg,
                                    const std::optional<std::string>& expectedTeamID,
                                    const InstallOptions& options, Journal* journal = nullptr);

    // A token of the catalogue's own form: lower-case ASCII letters, digits, "-", "_", ".", "@" and
    // "+", not empty and not beginning with "-" (which `brew` would read as an option).
    static bool isUsableCaskToken(std::string_view token);

    // `brew install --cask TOKEN --force`, no shell, 900 s. A token that is not usable is refused
    // with UNS_ARCHIVE_FORMAT "unusable cask token" before anything runs.
    static InstallResult installViaBrew(const std::string& token, const Progress& progress = {});

    // Where `brew` is among the fixed tool directories.
    static std::optional<std::string> brewPath();
};

std::string_view rawValue(Installer::Format v);
template <> std::optional<Installer::Format> fromRawValue<Installer::Format>(std::string_view raw);

} // namespace pelkit
