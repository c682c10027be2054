#pragma once

// Installer-package stand-ins and fake `pkgutil`, `installer`, `osascript` and `brew` on the FakeTools
// kit.
//
//     pelsupport::FakeTools tools;
//     pelsupport::installFakePkgutil(tools);
//     pelsupport::installFakeInstaller(tools);
//     pelsupport::installDecodingOsascript(tools);
//     auto pkg = pelsupport::buildPkg(
//         pelsupport::PkgStandIn().withPkgutil(pelsupport::pkgutilNumberedChain("Example Ltd",
//         "ABCDE12345")), dir / "Foo.pkg");
//     pelkit::Installer::installPkg(app, Url::fromFilePath(pkg.string()), "ABCDE12345",
//                                   pelkit::InstallOptions(false));
//     EXPECT_EQ(tools.calls("installer")[0].args, (std::vector<std::string>{"-pkg", pkg, "-target", "/"}));
//
// Package stand-in (`buildPkg`): the bytes "xar!" (so format detection takes it for a package), a line
// feed, then a text header that says what `pkgutil` answers for it and what the fake `installer` does
// with it. The file is self-contained, so one fixture behaves the same used directly, served by the
// test server and downloaded, or packed inside an archive or disk-image stand-in:
//
//     xar!
//     pel-pkg-stand-in
//     pkgutil-scenario numbered-chain        (a name, for people reading a fixture)
//     pkgutil-status 0
//     pkgutil-out <value>    pkgutil-err <value>
//     install-status 0
//     install-out <value>    install-err <value>
//     install-write <path> <content>         (one line per file the installer writes)
//     pel-end
//
// A value is its bytes with every byte other than [A-Za-z0-9._/:-] written as "\0ooo" (octal), the
// form sh's `printf '%b'` decodes; `pel_field KEY FILE` in the fakes prints one decoded value.
//
// pkgutil: "--check-signature P" (P the last argument) prints, like the real tool, the line
//   `Package "<file name of P>":` (the name as it is, line breaks included), then the stand-in's
//   pkgutil-out (the Status: line, the certificate chain) and pkgutil-err, and exits with
//   pkgutil-status. A file that is no stand-in answers the echo and "Status: no signature" with
//   exit 1; a missing file exits 1 with a message on standard error.
// installer: "-pkg P -target /" writes each install-write file (parent folders made), prints
//   install-out and install-err and exits with install-status. A P that is no stand-in exits 1 with
//   "installer: Error - the package path specified was invalid: 'P'.".
// brew: answers every call with one FakeReply (FakeTools::install); tests read its argv from the log.
//
// Decoding osascript (`installDecodingOsascript`): takes the script after "-e" and reads it the way
// AppleScript would, then the shell:
//   - the form `do shell script "LITERAL" with administrator privileges` (exactly one blank between
//     the words) is the only one it knows; anything else is a syntax error (exit 1, standard error
//     "… syntax error: … (-2740)"), and nothing runs;
//   - LITERAL is decoded as an AppleScript string: \" and \\ (and \n, \r, \t) are its escapes; any
//     other backslash, or a literal that does not end exactly before " with administrator
//     privileges", is a syntax error. So a path that was not escaped for the script ends the literal
//     early and is refused, instead of changing what runs;
//   - in the decoded shell text, each `OsascriptOptions::redirects` path standing as a command word
//     (outside quotes, at the start or after ; & | ( or a line feed, followed by a blank, an operator
//     or the end) is replaced by its sibling fake in the kit: by default "/usr/sbin/installer" and
//     "/usr/bin/ditto". Text inside quotes is never touched, so a quoted path reaches its tool
//     unchanged;
//   - the result is run with `/bin/sh -c` (as root, like the real prompt's shell) and its exit status,
//     standard output and standard error are passed on unchanged. `osascriptShellCommands` returns
//     the text actually run, call by call.
//   Knobs (`OsascriptMode`): cancel answers standard error "User canceled. (-128)" with exit 1 and
//   fail answers `failError` with `failStatus`; neither runs anything.
//
// Extending the osascript fake (the bundle replacement's helpers come next):
//   - another script form (say the Finder-comment `tell application "Finder" to set comment of …`):
//     add a branch to the awk program in FakeInstallTools.cpp (`kOsascriptDecoder`) that recognises
//     its prefix and exits with its own status, then act on that status in `osascriptBody`; keep
//     unknown forms a syntax error;
//   - more tools inside administrator scripts (/bin/rm, /bin/cp, …): add them to
//     `OsascriptOptions::redirects` and install the sibling fake; the real tool runs when there is no
//     redirect, so keep every path such a script touches inside a TempDir.

#include "Support/FakeTools.hpp"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace pelsupport {

// ---- Package stand-in ----

// What `pkgutil --check-signature` answers for a stand-in after its `Package "<name>":` echo.
struct PkgutilReply {
    std::string scenario; // a name only
    int status = 0;
    std::string out;
    std::string err;
};

// Real output of a package signed with a Developer ID Installer certificate: the chain numbered,
// "1. Developer ID Installer: <developer> (<team>)" first.
PkgutilReply pkgutilNumberedChain(const std::string& developer, const std::string& teamID);
// Signed output whose certificate line is `line` exactly as given (leading blanks or tabs, odd
// parentheses, a number or none), followed by the rest of a chain.
PkgutilReply pkgutilCertificateLine(const std::string& line);
// Signed ("Status: signed Apple Software") with a chain that has no Developer ID Installer line.
PkgutilReply pkgutilSignedWithoutCertificate();
// A chain like pkgutilNumberedChain's under this "Status:" text (say "signed by untrusted
// certificate"), ending with `exitStatus`.
PkgutilReply pkgutilStatus(const std::string& status, int exitStatus = 0);
// "Status: no signature", exit 1.
PkgutilReply pkgutilNoSignature();

// What the fake `installer` does for a stand-in.
struct PkgInstallAction {
    int status = 0;
    std::string out = "installer: Package name is Example\ninstaller: Installing at base path /\n"
                      "installer: The install was successful.\n";
    std::string err;
    std::vector<std::pair<std::filesystem::path, std::string>> writes; // path, content

    // Writes `content` to `file` (for example a bundle's Contents/Info.plist with a new version).
    PkgInstallAction& writing(std::filesystem::path file, std::string content) {
        writes.emplace_back(std::move(file), std::move(content));
        return *this;
    }
    // Ends with `exitStatus` and `error` on standard error, writing nothing unless asked.
    PkgInstallAction& failing(int exitStatus, std::string error) {
        status = exitStatus;
        out.clear();
        err = std::move(error);
        return *this;
    }
};

struct PkgStandIn {
    PkgutilReply pkgutil = pkgutilNumberedChain("Example Ltd", "ABCDE12345");
    PkgInstallAction install;

    PkgStandIn& withPkgutil(PkgutilReply r) {
        pkgutil = std::move(r);
        return *this;
    }
    PkgStandIn& withInstall(PkgInstallAction a) {
        install = std::move(a);
        return *this;
    }
};

// Writes the stand-in to `out` (parent folders made) and returns `out`.
std::filesystem::path buildPkg(const PkgStandIn& pkg, const std::filesystem::path& out);

// ---- Fakes ----

void installFakePkgutil(FakeTools& tools);
void installFakeInstaller(FakeTools& tools);

// A successful `brew install` by default.
void installFakeBrew(FakeTools& tools, const FakeReply& reply = FakeReply().withOut(
                                           "==> Downloading https://example.invalid/example.zip\n"
                                           "==> Installing Cask example\n"
                                           "==> Moving App 'Example.app' to '/Applications/Example.app'\n"
                                           "\xF0\x9F\x8D\xBA  example was successfully installed!\n"));

enum class OsascriptMode {
    run,    // decode and run, as described above
    cancel, // "User canceled. (-128)", exit 1
    fail,   // failError, failStatus
};

struct OsascriptOptions {
    OsascriptMode mode = OsascriptMode::run;
    int failStatus = 1;
    std::string failError = "0:95: execution error: An error of type -10810 has occurred. (-10810)\n";
    // Absolute path in a script → name of the sibling fake in the kit.
    std::vector<std::pair<std::string, std::string>> redirects = {{"/usr/sbin/installer", "installer"},
                                                                  {"/usr/bin/ditto", "ditto"}};
};

void installDecodingOsascript(FakeTools& tools, const OsascriptOptions& options = {});

// The sh body `installDecodingOsascript` installs, for fakes that answer more script forms first and
// hand every other script to it (it reads "$@" afresh).
std::string decodingOsascriptBody(const FakeTools& tools, const OsascriptOptions& options = {});

// The shell text each decoding `osascript` call ran (redirects applied), in call order; calls that
// ran nothing are left out.
std::vector<std::string> osascriptShellCommands(const FakeTools& tools);

} // namespace pelsupport
