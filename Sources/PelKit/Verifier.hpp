#pragma once

#include "PelKit/Config.hpp"
#include "PelKit/Models.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelkit {

class Journal;

// One verification step as it ran.
struct VerifyStep {
    std::string
        name; // "size", "sha256", "extract", "signature", "teamID", "gatekeeper", "bundleID", "versionSanity"
    bool passed = false;
    std::string detail;

    bool operator==(const VerifyStep&) const = default;
};

// The outcome of one verification; an aborted run carries its code and message.
struct VerifyResult {
    std::vector<VerifyStep> steps;
    std::optional<Url> extractedApp; // the verified bundle; none when aborted
    bool aborted = false;
    std::optional<ErrorCode> abortCode;
    std::optional<std::string> abortMessage;
};

// Decides whether an extracted download may replace an installed bundle.
class Verifier {
public:
    Verifier() = delete;

    static constexpr double codesignVerifyTimeoutSeconds = 300;
    static constexpr double spctlTimeoutSeconds = 60;

    // The "size" step's test: |actual - expected| / expected strictly below 1 %. An expected size
    // below 1 matches nothing.
    static bool sizeMatches(std::int64_t actual, std::int64_t expected);
    // The largest size that matches `expected` (0 when none does), held to the 64-bit range.
    static std::int64_t largestMatchingSize(std::int64_t expected);

    // Runs the steps in order and stops at the first failing one that guards safety or integrity;
    // the Gatekeeper assessment is recorded only. Never throws and changes no file. `journal` is
    // accepted but not written to: the engine records the steps. `knownSHA256` is the download's
    // digest when the caller already has it (hashed as it was received); the file is then not
    // read again.
    static VerifyResult verify(const Url& downloadURL, const Url& extractedApp,
                               std::optional<std::int64_t> expectedSize,
                               const std::optional<std::string>& expectedSHA256,
                               const InstalledApp& installed, const RemoteVersion& remote,
                               const std::optional<OverrideEntry>& overrides, Journal* journal,
                               const std::optional<std::string>& knownSHA256 = std::nullopt);

    // Only the "size" and "sha256" steps, for a download that installs as a package and so never
    // reaches `verify`: the file must still be the one the source published. `extractedApp` stays
    // empty. Never throws and changes no file.
    static VerifyResult verifyDownload(const Url& downloadURL, std::optional<std::int64_t> expectedSize,
                                       const std::optional<std::string>& expectedSHA256,
                                       const std::optional<std::string>& knownSHA256 = std::nullopt);
};

} // namespace pelkit
