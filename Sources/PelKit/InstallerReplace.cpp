// Bundle replacement: the user-space swap with backup and rollback, and the administrator path.

#include "PelKit/Installer.hpp"

#include "PelKit/Config.hpp"
#include "PelKit/Downloads.hpp"
#include "PelKit/Leftovers.hpp"
#include "PelKit/Proc.hpp"
#include "PelKit/ScriptQuoting.hpp"
#include "Platform/FileOps.hpp"
#include "Platform/Files.hpp"
#include "Platform/Plist.hpp"
#include "Platform/Unicode.hpp"
#include "Platform/Uuid.hpp"

#include <fmt/format.h>

#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace pelkit {
namespace fs = std::filesystem;

namespace {

constexpr double kXattrTimeout = 30;
constexpr double kMdlsTimeout = 10;
constexpr double kFinderTimeout = 10;
constexpr double kDittoTimeout = 300;
constexpr double kCodesignTimeout = 300;
constexpr double kAdminTimeout = 300;

constexpr const char* kNotWritableMessage =
    "macOS App Management permission required. Open System Settings > Privacy & Security > App "
    "Management and enable Pelloran, then rescan and retry.";

PelError plainError(ErrorCode code, std::string message) {
    return PelError(code, std::nullopt, std::nullopt, std::move(message), false);
}

PelError appError(ErrorCode code, const InstalledApp& app, std::string message) {
    return PelError(code, app.bundleID, std::nullopt, std::move(message), false);
}

std::string requireTool(std::string_view name) {
    auto path = Proc::which(name);
    if (!path) throw plainError(ErrorCode::INT_UNEXPECTED, fmt::format("{} not found", name));
    return *path;
}

// A file URL's path without trailing slashes (a folder URL may carry one).
fs::path bundlePathOf(const Url& url) {
    std::string path = url.filePath();
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return fs::path(path);
}

// The installed bundle's path, refused when it names no bundle: the administrator script removes
// this path, and the swap works beside it.
fs::path installedPathOf(const InstalledApp& app) {
    fs::path path = bundlePathOf(app.path);
    const std::string name = path.filename().string();
    if (!path.is_absolute() || name.empty() || name == "." || name == ".." || path.parent_path() == path)
        throw appError(ErrorCode::INT_UNEXPECTED, app,
                       fmt::format("installed bundle path is not usable: {}", path.string()));
    return path;
}

bool defaultIsWritable(const std::string& path) {
    return ::access(path.c_str(), W_OK) == 0;
}

bool isWritable(const Installer::ReplaceSeams& seams, const fs::path& path) {
    return seams.isWritable ? seams.isWritable(path.string()) : defaultIsWritable(path.string());
}

// Best effort: the attribute may be missing, or the tool absent. -s acts on each link itself, so
// no attribute of a link's target outside the bundle is ever cleared.
void removeQuarantine(const fs::path& bundle) {
    auto xattr = Proc::which("xattr");
    if (!xattr) return;
    try {
        Proc::run(*xattr, {"-drs", "com.apple.quarantine", bundle.string()}, kXattrTimeout);
    } catch (const std::exception&) {
    }
}

std::optional<std::string> readFinderComment(const fs::path& bundle) {
    auto mdls = Proc::which("mdls");
    if (!mdls) return std::nullopt;
    try {
        auto r = Proc::run(*mdls, {"-name", "kMDItemFinderComment", "-raw", bundle.string()}, kMdlsTimeout);
        std::string comment = platform::unicode::trim(r.stdout);
        if (comment.empty() || comment == "(null)") return std::nullopt;
        return comment;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The script has no shell, so path and comment are escaped for the script's string literals only.
std::string finderCommentScript(const fs::path& bundle, const std::string& comment) {
    return "tell application \"Finder\" to set comment of (POSIX file \"" +
           appleScriptEscape(bundle.string()) + "\" as alias) to \"" + appleScriptEscape(comment) + "\"";
}

void writeFinderComment(const fs::path& bundle, const std::string& comment) {
    auto osascript = Proc::which("osascript");
    if (!osascript) return;
    try {
        Proc::run(*osascript, {"-e", finderCommentScript(bundle, comment)}, kFinderTimeout);
    } catch (const std::exception&) {
    }
}

// The installed bundle's own short version, read when the backup is made: the record may be older
// than the bundle (a retry after an update the next scan has not seen yet). The record's value
// serves only when the bundle cannot be read; a readable bundle without one is "unknown".
std::optional<std::string> installedShortVersion(const InstalledApp& app, const fs::path& installed) {
    try {
        const auto plist = platform::PlistValue::readFile((installed / "Contents/Info.plist").string());
        if (plist.isDictionary()) return plist.stringForKey("CFBundleShortVersionString");
    } catch (const std::exception&) {
    }
    return app.shortVersion;
}

fs::path backupCopyPath(const InstalledApp& app, const fs::path& installed) {
    return fs::path(PelPaths::backupDir().filePath()) / DownloadCache::sanitizedComponent(app.bundleID) /
           DownloadCache::sanitizedComponent(installedShortVersion(app, installed).value_or("unknown")) /
           installed.filename();
}

std::string reasonOf(const ProcResult& r) {
    std::string err = platform::unicode::trim(r.stderr);
    if (err.empty()) return fmt::format("ditto exit status {}", r.status);
    return err;
}

void removeQuietly(const fs::path& p) {
    std::error_code ec;
    fs::remove_all(p, ec);
}

// Puts the finished copy `temp` at `backup`, over an earlier copy if there is one. Throws the file
// system's error; the earlier copy is then still at `backup`.
void moveCopyInPlace(const fs::path& temp, const fs::path& backup) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(backup, ec))) {
        fs::rename(temp, backup);
        return;
    }
    try {
        platform::exchangePaths(temp, backup);
        removeQuietly(temp); // now the earlier copy
        return;
    } catch (const std::system_error& e) {
        if (!platform::isExchangeUnsupported(e.code().value())) throw;
    }
    const fs::path aside = backup.parent_path() / (".pel-backup-old-" + platform::uuidV4());
    fs::rename(backup, aside);
    try {
        fs::rename(temp, backup);
    } catch (const std::exception&) {
        fs::rename(aside, backup, ec);
        throw;
    }
    removeQuietly(aside);
}

// Copies the installed bundle to its backup place; nothing when the copy was made, else why not.
// The copy is made under a temporary name beside the backup and only a finished copy replaces an
// earlier one, so a failed copy never costs the previous backup.
std::optional<std::string> makeBackupCopy(const std::string& ditto, const fs::path& installed,
                                          const fs::path& backup) {
    try {
        platform::createDirectories(backup.parent_path(), 0700);
    } catch (const std::exception& e) {
        return e.what();
    }
    const fs::path temp = backup.parent_path() / (".pel-backup-" + platform::uuidV4());
    try {
        auto r = Proc::run(ditto, {installed.string(), temp.string()}, kDittoTimeout);
        if (!r.ok()) {
            removeQuietly(temp);
            return reasonOf(r);
        }
        moveCopyInPlace(temp, backup);
    } catch (const std::exception& e) {
        removeQuietly(temp);
        return e.what();
    }
    return std::nullopt;
}

int errnoOf(const std::system_error& e) {
    return e.code().value();
}

// A swap that did not happen. `previousAt` is set only when the previous bundle no longer sits at
// the installed path (an undo failed too).
struct SwapFailure {
    int err;
    std::string text;
    std::optional<fs::path> previousAt;
};

SwapFailure failure(const std::system_error& e, std::optional<fs::path> previousAt = std::nullopt) {
    return SwapFailure{errnoOf(e), e.what(), std::move(previousAt)};
}

// For file systems without an exchange: the installed bundle moves aside, then the staged one in.
void swapByRenames(platform::FileOps& ops, const fs::path& staged, const fs::path& installed,
                   const fs::path& swapBackup) {
    try {
        ops.rename(installed, swapBackup);
    } catch (const std::system_error& e) {
        throw failure(e);
    }
    try {
        ops.rename(staged, installed);
    } catch (const std::system_error& e) {
        try {
            ops.rename(swapBackup, installed);
        } catch (const std::system_error&) {
            throw failure(e, swapBackup);
        }
        throw failure(e);
    }
}

// Puts the staged copy at the installed path and the previous bundle at `swapBackup`. On failure
// the installed bundle stays as it was (unless the failure says where it went).
void swapIn(platform::FileOps& ops, const fs::path& staged, const fs::path& installed,
            const fs::path& swapBackup) {
    try {
        ops.remove(swapBackup);
    } catch (const std::system_error& e) {
        throw failure(e);
    }
    try {
        ops.exchange(staged, installed);
    } catch (const std::system_error& e) {
        if (!platform::isExchangeUnsupported(errnoOf(e))) throw failure(e);
        swapByRenames(ops, staged, installed, swapBackup);
        return;
    }
    try {
        ops.rename(staged, swapBackup);
    } catch (const std::system_error& e) {
        // Without its named place the previous bundle would sit in the staging folder: undo.
        try {
            ops.exchange(staged, installed);
        } catch (const std::system_error&) {
            throw failure(e, staged);
        }
        throw failure(e);
    }
}

PelError swapError(const InstalledApp& app, const SwapFailure& f) {
    const bool notWritable = f.err == EPERM || f.err == EACCES;
    std::string message = notWritable ? std::string(kNotWritableMessage) : "replaceItem failed: " + f.text;
    if (f.previousAt) message += "; previous copy kept at " + f.previousAt->string();
    return appError(notWritable ? ErrorCode::ENV_NOT_WRITABLE : ErrorCode::INT_UNEXPECTED, app,
                    std::move(message));
}

// Puts the swap backup back at the installed path and drops the rejected bundle. Nothing when the
// previous bundle is back in place, else why not.
std::optional<std::string> rollBack(platform::FileOps& ops, const fs::path& installed,
                                    const fs::path& swapBackup, const fs::path& staged) {
    try {
        ops.exchange(swapBackup, installed);
    } catch (const std::system_error& e) {
        if (!platform::isExchangeUnsupported(errnoOf(e))) return std::string(e.what());
        try {
            ops.rename(installed, staged);
        } catch (const std::system_error& e2) {
            return std::string(e2.what());
        }
        try {
            ops.rename(swapBackup, installed);
        } catch (const std::system_error& e3) {
            try {
                ops.rename(staged, installed);
            } catch (const std::system_error&) {
            }
            return std::string(e3.what());
        }
        try {
            ops.remove(staged);
        } catch (const std::system_error&) {
        }
        return std::nullopt;
    }
    try {
        ops.remove(swapBackup); // now the rejected bundle
    } catch (const std::system_error&) {
    }
    return std::nullopt;
}

bool pathExists(const fs::path& p) {
    std::error_code ec;
    return fs::symlink_status(p, ec).type() != fs::file_type::not_found && !ec;
}

} // namespace

Url Installer::backupCopyURL(const InstalledApp& app) {
    return Url::fromFilePath(backupCopyPath(app, bundlePathOf(app.path)).string());
}

bool Installer::needsAdminForApp(const InstalledApp& app) {
    return needsAdminForApp(app, ReplaceSeams{});
}

bool Installer::needsAdminForApp(const InstalledApp& app, const ReplaceSeams& seams) {
    return !isWritable(seams, bundlePathOf(app.path));
}

InstallResult Installer::install(const InstalledApp& app, const Url& verifiedApp,
                                 const InstallOptions& options, Journal* journal) {
    return install(app, verifiedApp, options, journal, ReplaceSeams{});
}

InstallResult Installer::install(const InstalledApp& app, const Url& verifiedApp,
                                 const InstallOptions& options, Journal* /*journal*/,
                                 const ReplaceSeams& seams) {
    if (options.dryRun)
        return InstallResult(true, "dry-run: would replace " + bundlePathOf(app.path).string(), std::nullopt,
                             std::nullopt);

    const fs::path installed = installedPathOf(app);
    if (!isWritable(seams, installed)) return installAppAsAdmin(app, verifiedApp, seams);

    const fs::path newBundle = bundlePathOf(verifiedApp);
    const std::string name = installed.filename().string();

    removeQuarantine(newBundle);
    const std::optional<std::string> comment = readFinderComment(installed);

    const std::string ditto = requireTool("ditto");
    const fs::path staging = installed.parent_path() / ".pel-staging";
    const fs::path staged = staging / name;
    try {
        platform::createDirectories(staging, 0700);
    } catch (const std::exception&) {
    }
    {
        std::error_code ec;
        fs::remove_all(staged, ec);
    }
    auto copy = Proc::run(ditto, {newBundle.string(), staged.string()}, kDittoTimeout);
    if (!copy.ok()) throw plainError(ErrorCode::INT_UNEXPECTED, "stage copy failed: " + copy.stderr);

    const fs::path backup = backupCopyPath(app, installed);
    const bool backupMade = !makeBackupCopy(ditto, installed, backup).has_value();

    platform::FileOps plainOps;
    platform::FileOps& ops = seams.fileOps ? *seams.fileOps : plainOps;
    const fs::path swapBackup = installed.parent_path() / (name + ".backup");
    try {
        swapIn(ops, staged, installed, swapBackup);
    } catch (const SwapFailure& f) {
        throw swapError(app, f);
    }

    // The swap backup stays until the check has decided; a tool that fails to run leaves it.
    if (auto codesign = Proc::which("codesign")) {
        auto check =
            Proc::run(*codesign, {"--verify", "--deep", "--strict", installed.string()}, kCodesignTimeout);
        if (!check.ok()) {
            auto why = rollBack(ops, installed, swapBackup, staged);
            if (!why)
                throw appError(ErrorCode::SEC_SIGNATURE_INVALID, app,
                               "post-install codesign failed; rolled back");
            std::string message = "post-install codesign failed; rollback failed: " + *why;
            if (pathExists(swapBackup))
                message += "; previous copy kept at " + swapBackup.string();
            else if (backupMade)
                message += "; previous copy kept at " + backup.string();
            throw appError(ErrorCode::SEC_SIGNATURE_INVALID, app, std::move(message));
        }
    }

    // Without a backup copy the swap backup is the only previous copy left: keep it (the next swap of
    // this bundle replaces it) and say where it is.
    fs::path kept = backup;
    if (backupMade) {
        try {
            ops.remove(swapBackup);
        } catch (const std::system_error&) {
        }
    } else {
        kept = swapBackup;
    }
    if (comment && !comment->empty()) writeFinderComment(installed, *comment);
    return InstallResult(true, "installed " + app.name, Url::fromFilePath(kept.string()), std::nullopt);
}

InstallResult Installer::installAppAsAdmin(const InstalledApp& app, const Url& verifiedApp) {
    return installAppAsAdmin(app, verifiedApp, ReplaceSeams{});
}

InstallResult Installer::installAppAsAdmin(const InstalledApp& app, const Url& verifiedApp,
                                           const ReplaceSeams& seams) {
    const fs::path installed = installedPathOf(app);
    const fs::path newBundle = bundlePathOf(verifiedApp);
    const std::string name = installed.filename().string();

    const std::string osascript = requireTool("osascript");
    const std::string ditto = requireTool("ditto");

    const fs::path root = seams.temporaryDirectory ? *seams.temporaryDirectory : fs::temp_directory_path();
    const fs::path adminDir = root / ("pel-admin-" + platform::uuidV4());
    const leftovers::InUse adminDirInUse(adminDir);
    platform::createDirectories(adminDir, 0700);
    platform::ScopeGuard cleanup([&] {
        std::error_code ec;
        fs::remove_all(adminDir, ec);
    });

    const fs::path staged = adminDir / name;
    auto copy = Proc::run(ditto, {newBundle.string(), staged.string()}, kDittoTimeout);
    if (!copy.ok())
        throw plainError(ErrorCode::INT_UNEXPECTED, "user-space stage copy failed: " + copy.stderr);

    removeQuarantine(staged);

    // The script deletes the installed bundle first; without a backup a failing copy would lose it.
    const fs::path backup = backupCopyPath(app, installed);
    if (auto why = makeBackupCopy(ditto, installed, backup))
        throw appError(ErrorCode::INT_UNEXPECTED, app,
                       "backup copy failed; admin install not attempted: " + *why);

    auto quoted = [](const fs::path& p) { return appleScriptEscape(shellQuote(p.string())); };
    const std::string script = "do shell script \"/bin/rm -rf " + quoted(installed) + " && /usr/bin/ditto " +
                               quoted(staged) + " " + quoted(installed) + "\" with administrator privileges";
    auto run = Proc::run(osascript, {"-e", script}, kAdminTimeout);
    if (!run.ok()) {
        const std::string err = platform::unicode::trim(run.stderr);
        if (err.find("User canceled") != std::string::npos || err.find("-128") != std::string::npos)
            throw appError(ErrorCode::ENV_NOT_WRITABLE, app, "admin password prompt cancelled");
        throw appError(ErrorCode::INT_UNEXPECTED, app, "admin install failed: " + err);
    }

    if (auto codesign = Proc::which("codesign")) {
        auto check =
            Proc::run(*codesign, {"--verify", "--deep", "--strict", installed.string()}, kCodesignTimeout);
        if (!check.ok())
            throw appError(ErrorCode::SEC_SIGNATURE_INVALID, app,
                           "post-install codesign failed: " + check.stderr);
    }

    return InstallResult(true, "installed " + app.name + " (admin escalation)",
                         Url::fromFilePath(backup.string()), std::nullopt);
}

} // namespace pelkit
