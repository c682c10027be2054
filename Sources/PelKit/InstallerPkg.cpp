// Installer packages (signature check, then the system installer behind the administrator prompt)
// and the Homebrew hand-off.

#include "PelKit/Installer.hpp"

#include "PelKit/Proc.hpp"
#include "PelKit/ScriptQuoting.hpp"
#include "Platform/Unicode.hpp"

#include <fmt/format.h>

#include <optional>

namespace pelkit {

namespace {

constexpr double kPkgutilTimeout = 60;
constexpr double kInstallerTimeout = 900;
constexpr double kBrewTimeout = 900;

constexpr std::string_view kCertificatePrefix = "Developer ID Installer:";
constexpr std::string_view kHomebrewSite = "https://brew.sh";

// Tool-missing and Homebrew errors: the caller adds the application's identity.
PelError plainError(std::string message) {
    return PelError(ErrorCode::INT_UNEXPECTED, std::nullopt, std::nullopt, std::move(message), false);
}

PelError appError(ErrorCode code, const InstalledApp& app, std::string message) {
    return PelError(code, app.bundleID, std::nullopt, std::move(message), false);
}

std::string_view trimSpacesAndTabs(std::string_view s) {
    std::size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return {};
    std::size_t end = s.find_last_not_of(" \t");
    return s.substr(begin, end - begin + 1);
}

bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

// How long the certificate prefix is that a trimmed line begins with, 0 for none. pkgutil numbers
// the certificates of its chain ("1. Developer ID Installer: …"), so a list number counts as part of
// the prefix; without it no Team ID would ever be read from real output.
std::size_t certificatePrefixLength(std::string_view line) {
    if (line.starts_with(kCertificatePrefix)) return kCertificatePrefix.size();
    std::size_t digits = 0;
    while (digits < line.size() && isAsciiDigit(line[digits]))
        ++digits;
    if (digits == 0) return 0;
    std::string_view rest = line.substr(digits);
    if (!rest.starts_with(". ") || !rest.substr(2).starts_with(kCertificatePrefix)) return 0;
    return digits + 2 + kCertificatePrefix.size();
}

// The first line of `output`, trimmed of spaces and tabs, that passes `matches`; nothing when none does.
template <class Matches>
std::optional<std::string_view> firstTrimmedLine(std::string_view output, Matches matches) {
    std::size_t start = 0;
    while (start <= output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string_view::npos) end = output.size();
        std::string_view line = trimSpacesAndTabs(output.substr(start, end - start));
        start = end + 1;
        if (matches(line)) return line;
    }
    return std::nullopt;
}

// Team ID and developer from the first certificate line of pkgutil's output.
void readCertificateLine(std::string_view output, Installer::PkgSignatureInfo& info) {
    auto line = firstTrimmedLine(output, [](std::string_view l) { return certificatePrefixLength(l) > 0; });
    if (!line) return;
    std::size_t prefix = certificatePrefixLength(*line);
    std::size_t open = line->rfind('(');
    std::size_t close = line->rfind(')');
    if (open != std::string_view::npos && close != std::string_view::npos && open < close) {
        std::string_view team = line->substr(open + 1, close - open - 1);
        if (!team.empty()) info.teamID = std::string(team);
        info.developer = std::string(trimSpacesAndTabs(line->substr(prefix, open - prefix)));
    }
}

std::string asciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// The first "Status:" line decides. pkgutil words an untrusted, revoked or expired chain as
// "signed by …" too, so the word "signed" alone proves nothing.
bool reportsTrustedSignature(std::string_view output) {
    constexpr std::string_view kStatus = "Status:";
    auto line = firstTrimmedLine(output, [&](std::string_view l) { return l.starts_with(kStatus); });
    if (!line) return false;
    const std::string status = asciiLower(trimSpacesAndTabs(line->substr(kStatus.size())));
    if (!status.starts_with("signed")) return false;
    for (std::string_view refused : {"untrusted", "revoked", "expired"}) {
        if (status.find(refused) != std::string::npos) return false;
    }
    return true;
}

std::string teamOrUnknown(const Installer::PkgSignatureInfo& info) {
    return info.teamID.value_or("?");
}

} // namespace

Installer::PkgSignatureInfo Installer::inspectPkg(const Url& pkg) {
    auto pkgutil = Proc::which("pkgutil");
    if (!pkgutil) throw plainError("pkgutil not found");
    PkgSignatureInfo info;
    // pkgutil's first line echoes the file name, which comes from the archive the package was in: a
    // line break in it would start a line of the name's choosing. Without control characters the
    // echo stays one line beginning `Package "`, which neither reading below matches.
    if (platform::unicode::hasControlCharacter(pkg.filePath())) return info;
    ProcResult r = Proc::run(*pkgutil, {"--check-signature", pkg.filePath()}, kPkgutilTimeout);

    if (!r.ok()) return info;
    readCertificateLine(r.stdout, info);
    info.isSigned = reportsTrustedSignature(r.stdout);
    return info;
}

InstallResult Installer::installPkg(const InstalledApp& app, const Url& pkg,
                                    const std::optional<std::string>& expectedTeamID,
                                    const InstallOptions& options, Journal* journal) {
    (void)journal;
    if (platform::unicode::hasControlCharacter(pkg.filePath()))
        throw appError(ErrorCode::SEC_SIGNATURE_INVALID, app, "control character in the pkg path");
    PkgSignatureInfo info = inspectPkg(pkg);
    if (!info.isSigned)
        throw appError(ErrorCode::SEC_SIGNATURE_INVALID, app,
                       "pkg is not signed by a Developer ID Installer certificate");
    if (expectedTeamID && info.teamID && *info.teamID != *expectedTeamID)
        throw appError(
            ErrorCode::SEC_TEAMID_MISMATCH, app,
            fmt::format("pkg signed by {}, installed app signed by {}", *info.teamID, *expectedTeamID));

    if (options.dryRun)
        return InstallResult(true,
                             fmt::format("dry-run: would install pkg {} (Team {})", pkg.lastPathComponent(),
                                         teamOrUnknown(info)),
                             std::nullopt, std::nullopt);

    auto osascript = Proc::which("osascript");
    if (!osascript) throw plainError("osascript not found");
    // The path is quoted for the shell and then escaped for the AppleScript string around it, so no
    // character of a file name can end the literal of a script that runs as administrator.
    const std::string script = "do shell script \"/usr/sbin/installer -pkg " +
                               appleScriptEscape(shellQuote(pkg.filePath())) +
                               " -target /\" with administrator privileges";
    ProcResult r = Proc::run(*osascript, {"-e", script}, kInstallerTimeout);
    if (!r.ok()) {
        std::string err = platform::unicode::trim(r.stderr);
        if (err.find("User canceled") != std::string::npos || err.find("-128") != std::string::npos)
            throw appError(ErrorCode::ENV_NOT_WRITABLE, app, "admin password prompt cancelled");
        throw appError(ErrorCode::INT_UNEXPECTED, app, "installer failed: " + err);
    }
    return InstallResult(true, fmt::format("installer -pkg completed (Team {})", teamOrUnknown(info)),
                         std::nullopt, std::nullopt);
}

std::optional<std::string> Installer::brewPath() {
    return Proc::which("brew");
}

bool Installer::isUsableCaskToken(std::string_view token) {
    if (token.empty() || token.front() == '-') return false;
    for (char c : token) {
        const bool usable = (c >= 'a' && c <= 'z') || isAsciiDigit(c) || c == '-' || c == '_' || c == '.' ||
                            c == '@' || c == '+';
        if (!usable) return false;
    }
    return true;
}

InstallResult Installer::installViaBrew(const std::string& token, const Progress& progress) {
    if (!isUsableCaskToken(token))
        throw PelError(ErrorCode::UNS_ARCHIVE_FORMAT, std::nullopt, std::nullopt, "unusable cask token", false);
    auto brew = brewPath();
    if (!brew) throw plainError(fmt::format("brew not in PATH — install from {}", kHomebrewSite));
    if (progress) progress("brew install --cask " + token + " --force");

    ProcResult r = Proc::run(*brew, {"install", "--cask", token, "--force"}, kBrewTimeout);
    namespace unicode = platform::unicode;
    if (!r.ok())
        throw plainError("brew install failed: " + unicode::trim(unicode::lastCharacters(r.stderr, 400)));
    std::string tail = unicode::firstCharacters(unicode::trim(unicode::lastCharacters(r.stdout, 200)), 120);
    return InstallResult(true, "brew install --cask " + token + " ok — " + tail, std::nullopt, std::nullopt);
}

} // namespace pelkit
