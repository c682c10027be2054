#pragma once

#include "Platform/Url.hpp"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
class HttpTransport;
}

namespace pelkit {

// What the maker's kill-switch document says about this copy.
struct KillSwitchDecision {
    // The document asks for an upgrade and this copy is older than `minVersion`.
    bool forceUpgrade = false;
    std::optional<std::string> minVersion;
    std::optional<std::string> message;
    // Carried for the caller; nothing acts on them.
    std::vector<std::string> disabledSources;

    bool operator==(const KillSwitchDecision&) const = default;
};

// Everything a test may replace; the defaults are the production ones.
struct KillSwitchOptions {
    // The maker's web site; the document is "/killswitch.json" under it.
    std::string baseURL{"https://pelloran.app"};
    // Trust only this CA file; empty: the transport's default.
    std::optional<std::filesystem::path> caFile;
    // The request fails when nothing arrives for this long.
    std::chrono::milliseconds timeout{10'000};
    platform::HttpTransport* transport = nullptr; // default: the process's transport
};

struct KillSwitch {
    KillSwitch() = delete;

    // Sent instead of the HTTPS client's User-Agent.
    static constexpr std::string_view userAgent = "pel-poc/0.1";

    // The document's address under the default options.
    static const platform::Url& endpoint();

    // Reads the document once: one request of its own, outside the HTTPS client's throttle and
    // retries. Never throws; every failure (transport, status other than 200, a final URL that is
    // not https, a body that is not a JSON object) gives nothing.
    static std::optional<KillSwitchDecision> fetch(std::string_view currentVersion,
                                                   const KillSwitchOptions& options = {}) noexcept;
};

} // namespace pelkit
