#include "PelKit/Verifier.hpp"

#include "PelKit/BundleReader.hpp"
#include "PelKit/Proc.hpp"
#include "PelKit/VersionCompare.hpp"
#include "Platform/Sha256.hpp"

#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <iterator>
#include <limits>
#include <system_error>

namespace pelkit {

namespace {

namespace fs = std::filesystem;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

std::string trimmed(std::string_view s) {
    auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return std::string(s);
}

std::int64_t fileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return static_cast<std::int64_t>(st.st_size);
}

// An entry of a downloaded bundle that the bundle cannot vouch for.
struct ForeignEntry {
    bool identity = false; // one the identifier, version, signature or Team ID is read from
    std::string text;      // which entry, and what is wrong with it
};

// Contents itself, its Info.plist, and what the signature and Team ID are read from. A Mac's default
// volume finds these in any letter case.
bool isIdentityEntry(const fs::path& relative) {
    auto part = relative.begin();
    if (part == relative.end() || !equalsIgnoringCase(part->native(), "Contents")) return false;
    if (++part == relative.end()) return true;
    const std::string& name = part->native();
    return equalsIgnoringCase(name, "Info.plist") || equalsIgnoringCase(name, "MacOS") ||
           equalsIgnoringCase(name, "_CodeSignature");
}

// Whether the target of the link at `relative` below the bundle leaves the bundle by its text alone.
// The copy is installed elsewhere, perhaps under another name, beside other things than it was
// unpacked among, so what the target reaches here proves nothing: an absolute target leaves, and so
// does a ".." past the bundle's top, whether or not the place exists. A ".." may step back only over
// the link's own folders (real ones: the walk follows no link); after a name of the target's own,
// which may be a link, the system would step back from where that leads. Judging every link so
// keeps a chain of them inside.
bool targetLeaves(const fs::path& target, const fs::path& relative) {
    if (target.empty() || target.has_root_path()) return true;
    std::ptrdiff_t folders = std::distance(relative.begin(), relative.end()) - 1;
    bool named = false;
    for (const fs::path& part : target) {
        if (part.empty() || part == ".") continue;
        if (part != "..") {
            named = true;
        } else if (named || --folders < 0) {
            return true;
        }
    }
    return false;
}

// `candidate` is `root` or lies below it (both canonical).
bool within(const fs::path& candidate, const fs::path& root) {
    return std::mismatch(root.begin(), root.end(), candidate.begin(), candidate.end()).first == root.end();
}

// Whether following `link`, and any links after it, reaches a place outside `root` where the bundle
// was unpacked. Beside the judgement by text this names the entries read through a link that leaves
// (Info.plist through a resource linked out, say), so that an identity entry is reported before any
// other. A link that leads nowhere yet still names a place, which must be inside too; a loop reaches
// nothing at all.
bool reachesOutside(const fs::path& link, const fs::path& target, const fs::path& root) {
    std::error_code ec;
    const fs::path destination =
        fs::weakly_canonical(target.is_relative() ? link.parent_path() / target : target, ec);
    if (ec) return ec != std::errc::too_many_symbolic_link_levels;
    return !within(destination, root);
}

// Whether the link at `relative` may lead outside the bundle, where it was unpacked or once installed.
bool leadsOutside(const fs::path& link, const fs::path& relative, const fs::path& root) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    return ec || targetLeaves(target, relative) || reachesOutside(link, target, root);
}

// The first link below the bundle that leads outside it, an identity entry before any other;
// links are looked at, never followed. Every read of the bundle after this one (the tools' too)
// would follow such a link and read or change what the bundle does not contain, and the installed
// copy would keep it.
std::optional<ForeignEntry> firstForeignEntry(const fs::path& bundle) {
    std::error_code ec;
    const fs::path root = fs::canonical(bundle, ec);
    if (ec || !fs::is_directory(root, ec)) return std::nullopt; // nothing to walk; the reads say why
    std::optional<ForeignEntry> first;
    fs::recursive_directory_iterator it(bundle, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code typeEc;
        if (!it->is_symlink(typeEc)) continue;
        const fs::path relative = it->path().lexically_relative(bundle);
        if (!leadsOutside(it->path(), relative, root)) continue;
        ForeignEntry found{isIdentityEntry(relative),
                           "bundle entry " + relative.generic_string() + " resolves outside the bundle"};
        if (found.identity) return found;
        if (!first) first = std::move(found);
    }
    if (ec && !first) return ForeignEntry{false, "bundle entries cannot be listed: " + ec.message()};
    return first;
}

class Run {
public:
    void record(std::string name, bool passed, std::string detail) {
        result_.steps.push_back({std::move(name), passed, std::move(detail)});
    }
    VerifyResult abort(ErrorCode code, std::string message) {
        result_.extractedApp.reset();
        result_.aborted = true;
        result_.abortCode = code;
        result_.abortMessage = std::move(message);
        return std::move(result_);
    }
    VerifyResult complete(const Url& extractedApp) {
        result_.extractedApp = extractedApp;
        return std::move(result_);
    }

    // A run that passed without a bundle to name.
    VerifyResult steps() { return std::move(result_); }

private:
    VerifyResult result_;
};

// Steps 1 and 2, over the downloaded file alone; the aborted result when one of them stops the run.
std::optional<VerifyResult> runDownloadSteps(Run& run, const std::string& downloadPath,
                                             std::optional<std::int64_t> expectedSize,
                                             const std::optional<std::string>& expectedSHA256,
                                             const std::optional<std::string>& knownSHA256) {
    const std::int64_t actualSize = fileSize(downloadPath);

    // 1. size
    if (!expectedSize) {
        run.record("size", true, "no expected size");
    } else {
        const std::int64_t expected = *expectedSize;
        const bool passed = Verifier::sizeMatches(actualSize, expected);
        run.record("size", passed, fmt::format("expected {}, got {}", expected, actualSize));
        if (!passed)
            return run.abort(ErrorCode::SRC_FEED_MALFORMED,
                             fmt::format("size mismatch {} vs {}", actualSize, expected));
    }

    // 2. sha256
    if (!expectedSHA256) {
        run.record("sha256", true, "no expected hash");
    } else {
        std::string digest;
        try {
            digest = knownSHA256 ? *knownSHA256 : platform::sha256HexOfFile(downloadPath);
        } catch (const std::exception& e) {
            return run.abort(ErrorCode::INT_UNEXPECTED, std::string("sha256 read failed: ") + e.what());
        }
        if (equalsIgnoringCase(digest, *expectedSHA256)) {
            run.record("sha256", true, "match");
        } else {
            run.record("sha256", false, digest + " != " + *expectedSHA256);
            return run.abort(ErrorCode::SRC_HASH_MISMATCH, "sha256 mismatch");
        }
    }
    return std::nullopt;
}

VerifyResult runSteps(Run& run, const Url& downloadURL, const Url& extractedApp,
                      std::optional<std::int64_t> expectedSize,
                      const std::optional<std::string>& expectedSHA256, const InstalledApp& installed,
                      const RemoteVersion& remote, const std::optional<OverrideEntry>& overrides,
                      const std::optional<std::string>& knownSHA256) {
    const std::string appPath = extractedApp.filePath();
    if (auto stopped =
            runDownloadSteps(run, downloadURL.filePath(), expectedSize, expectedSHA256, knownSHA256))
        return std::move(*stopped);

    // 3. extract: done by the caller before verification. A bundle with a link out of it stops here,
    // before any tool reads through the link.
    const std::optional<ForeignEntry> foreign = firstForeignEntry(appPath);
    if (foreign && !foreign->identity) {
        run.record("extract", false, foreign->text);
        return run.abort(ErrorCode::UNS_ARCHIVE_FORMAT, foreign->text);
    }
    run.record("extract", true, "already extracted");
    if (foreign) {
        // The bundle's identity would be read from a file it does not contain.
        run.record("bundleID", false, "installed=" + installed.bundleID + " downloaded=" + foreign->text);
        return run.abort(ErrorCode::SEC_BUNDLEID_CHANGED, foreign->text);
    }

    // 4. signature
    const std::optional<std::string> codesign = Proc::which("codesign");
    if (!codesign) return run.abort(ErrorCode::INT_UNEXPECTED, "codesign not found");
    ProcResult verified;
    try {
        verified = Proc::run(*codesign, {"--verify", "--deep", "--strict", "--verbose=2", appPath},
                             Verifier::codesignVerifyTimeoutSeconds);
    } catch (const std::exception& e) {
        return run.abort(ErrorCode::SEC_SIGNATURE_INVALID,
                         std::string("codesign --verify error: ") + e.what());
    }
    if (!verified.ok()) {
        run.record("signature", false, trimmed(verified.stderr));
        return run.abort(ErrorCode::SEC_SIGNATURE_INVALID, "codesign --verify failed");
    }
    run.record("signature", true, "valid");

    // 5. teamID: the override's (even "") wins over the installed copy's.
    std::optional<std::string> expectedTeamID = installed.teamID;
    if (overrides && overrides->expectedTeamID) expectedTeamID = overrides->expectedTeamID;
    if (!expectedTeamID) {
        run.record("teamID", true, "installed app unsigned; no comparison");
    } else {
        std::optional<std::string> downloadedTeamID;
        try {
            downloadedTeamID = BundleReader::readTeamID(extractedApp);
        } catch (const std::exception&) {
            downloadedTeamID.reset();
        }
        const std::string compared = downloadedTeamID.value_or("");
        if (compared == *expectedTeamID) {
            run.record("teamID", true, "match " + compared);
        } else {
            run.record("teamID", false,
                       "installed=" + *expectedTeamID + " downloaded=" + downloadedTeamID.value_or("none"));
            return run.abort(ErrorCode::SEC_TEAMID_MISMATCH, "team ID mismatch");
        }
    }

    // 6. gatekeeper: recorded only.
    if (const std::optional<std::string> spctl = Proc::which("spctl")) {
        try {
            ProcResult assessed = Proc::run(*spctl, {"--assess", "--type", "execute", "--verbose", appPath},
                                            Verifier::spctlTimeoutSeconds);
            run.record("gatekeeper", assessed.ok(), assessed.ok() ? "accepted" : "not notarized");
        } catch (const std::exception&) {
            // A tool that cannot run gives no assessment.
        }
    }

    // 7. bundleID. An unreadable download cannot be tied to the installed application, so it is
    // refused like a changed identifier, whatever previousBundleIDs says.
    std::optional<InstalledApp> downloaded;
    try {
        downloaded = BundleReader::read(extractedApp);
    } catch (const std::exception&) {
        run.record("bundleID", false, "installed=" + installed.bundleID + " downloaded=unreadable");
        return run.abort(ErrorCode::SEC_BUNDLEID_CHANGED, "bundle ID changed");
    }
    const bool listedAsPrevious =
        overrides && overrides->previousBundleIDs &&
        std::find(overrides->previousBundleIDs->begin(), overrides->previousBundleIDs->end(),
                  installed.bundleID) != overrides->previousBundleIDs->end();
    if (downloaded->bundleID == installed.bundleID || listedAsPrevious) {
        run.record("bundleID", true, "match " + downloaded->bundleID);
    } else {
        run.record("bundleID", false,
                   "installed=" + installed.bundleID + " downloaded=" + downloaded->bundleID);
        return run.abort(ErrorCode::SEC_BUNDLEID_CHANGED, "bundle ID changed");
    }

    // 8. versionSanity
    if (downloaded->shortVersion) {
        const std::string& shortVersion = *downloaded->shortVersion;
        const std::optional<std::string>& build = downloaded->buildVersion;
        const std::string buildPart = build ? " (build " + *build + ")" : "";
        const ComparisonResult order = VersionCompare::compareWithBuild(
            shortVersion, build ? std::optional<std::string_view>(*build) : std::nullopt, remote.version);
        const bool passed = order != ComparisonResult::ascending;
        run.record("versionSanity", passed,
                   "downloaded=" + shortVersion + buildPart + " advertised=" + remote.version);
        if (!passed)
            return run.abort(ErrorCode::SRC_VERSION_REGRESSION,
                             "downloaded " + shortVersion + buildPart + " < advertised " + remote.version);
    }

    return run.complete(extractedApp);
}

} // namespace

bool Verifier::sizeMatches(std::int64_t actual, std::int64_t expected) {
    return expected >= 1 &&
           std::fabs(static_cast<double>(actual - expected) / static_cast<double>(expected)) < 0.01;
}

std::int64_t Verifier::largestMatchingSize(std::int64_t expected) {
    if (expected < 1) return 0;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const std::int64_t margin = expected / 100;
    std::int64_t most = expected > kMax - margin ? kMax : expected + margin;
    // The division is in double precision: settle the last steps on the test itself.
    while (most > expected && !sizeMatches(most, expected))
        --most;
    while (most < kMax && sizeMatches(most + 1, expected))
        ++most;
    return most;
}

VerifyResult Verifier::verify(const Url& downloadURL, const Url& extractedApp,
                              std::optional<std::int64_t> expectedSize,
                              const std::optional<std::string>& expectedSHA256, const InstalledApp& installed,
                              const RemoteVersion& remote, const std::optional<OverrideEntry>& overrides,
                              Journal* /*journal*/, const std::optional<std::string>& knownSHA256) {
    Run run;
    try {
        return runSteps(run, downloadURL, extractedApp, expectedSize, expectedSHA256, installed, remote,
                        overrides, knownSHA256);
    } catch (const std::exception& e) {
        // Failure is reported as data, even for faults no step foresees (memory, say).
        return run.abort(ErrorCode::INT_UNEXPECTED, std::string("verify failed: ") + e.what());
    } catch (...) {
        return run.abort(ErrorCode::INT_UNEXPECTED, "verify failed");
    }
}

VerifyResult Verifier::verifyDownload(const Url& downloadURL, std::optional<std::int64_t> expectedSize,
                                      const std::optional<std::string>& expectedSHA256,
                                      const std::optional<std::string>& knownSHA256) {
    Run run;
    try {
        if (auto stopped =
                runDownloadSteps(run, downloadURL.filePath(), expectedSize, expectedSHA256, knownSHA256))
            return std::move(*stopped);
        return run.steps();
    } catch (const std::exception& e) {
        return run.abort(ErrorCode::INT_UNEXPECTED, std::string("verify failed: ") + e.what());
    } catch (...) {
        return run.abort(ErrorCode::INT_UNEXPECTED, "verify failed");
    }
}

} // namespace pelkit
