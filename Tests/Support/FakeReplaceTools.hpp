#pragma once

// Fakes for the bundle replacement on the FakeTools kit: `xattr`, `mdls`, the Finder form of the
// decoding `osascript`, and a `codesign --verify` that notes whether the swap backup is there.
//
//     pelsupport::FakeTools tools;
//     pelsupport::installFakeDitto(tools);
//     pelsupport::installFakeXattr(tools);
//     pelsupport::installFakeMdls(tools);
//     pelsupport::installReplaceOsascript(tools);            // Finder form + administrator form
//     pelsupport::installVerifyingCodesign(tools);           // --verify passes
//     pelsupport::setFinderComment(tools, installedPath, "keep me");
//     ... Installer::install(...) ...
//     EXPECT_EQ(pelsupport::finderComment(tools, installedPath), "keep me");
//     EXPECT_EQ(pelsupport::swapBackupSeenDuringVerify(tools), std::vector<bool>{true});
//
// xattr: logs its call and exits 0.
// mdls: "-name kMDItemFinderComment -raw P" (P the last argument) prints the comment stored for P
//   exactly (no line feed added), else "(null)". Comments are kept in the kit's state folder, one per
//   path, shared with the Finder form of osascript.
// osascript (`installReplaceOsascript`): a script of the form
//     tell application "Finder" to set comment of (POSIX file "P" as alias) to "C"
//   (exactly these words and blanks) has P and C decoded as AppleScript string literals (\" and \\,
//   and \n \r \t, are the escapes; any other backslash, a literal that ends early or text after the
//   last quote is a syntax error, exit 1, nothing stored). A P that does not exist fails like the
//   Finder (-43). Otherwise C is stored for P and the call exits 0. Every other script goes to the
//   decoding osascript of FakeInstallTools (administrator form), with `options`.
// codesign (`installVerifyingCodesign` or `codesignVerifyRule` for FakeBundleTools): a call with
//   "--verify" first notes whether "<B>.backup" exists (B the last argument), then answers `reply`.

#include "Support/FakeInstallTools.hpp"
#include "Support/FakeTools.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelsupport {

void installFakeXattr(FakeTools& tools);

void installFakeMdls(FakeTools& tools);
// The comment mdls reports for `path` from now on.
void setFinderComment(const FakeTools& tools, const std::string& path, const std::string& comment);
// The comment stored for `path` (by setFinderComment or the Finder form of osascript).
std::optional<std::string> finderComment(const FakeTools& tools, const std::string& path);

void installReplaceOsascript(FakeTools& tools, const OsascriptOptions& options = {});
// Path and comment of each Finder-form call that stored a comment, in call order.
std::vector<std::pair<std::string, std::string>> finderCommentWrites(const FakeTools& tools);

FakeRule codesignVerifyRule(FakeReply reply = {});
// codesign whose "--verify" answers `reply` (and any other call exits 0).
void installVerifyingCodesign(FakeTools& tools, FakeReply reply = {});
// For each "--verify" call, in order: whether "<bundle>.backup" existed during it.
std::vector<bool> swapBackupSeenDuringVerify(const FakeTools& tools);

} // namespace pelsupport
