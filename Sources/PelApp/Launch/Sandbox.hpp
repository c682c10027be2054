#pragma once

#include "PelApp/Model/EngineApi.hpp"
#include "PelKit/KillSwitch.hpp"
#include "Platform/HttpTransport.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace pelkit {
class HTTP;
}

namespace pelapp {

// Where a sandboxed run finds its servers, tools and applications (written by Tools/sandbox-server).
struct SandboxConfig {
    std::string baseURL;                // the local HTTPS server: catalogue, appcasts, lookup, kill switch
    std::filesystem::path caFile;       // the only CA that server's certificate is trusted under
    std::string toolDirectory;          // stand-ins for the macOS tools
    std::filesystem::path applications; // the one folder the scanner walks
};

// Reads the sandbox named by the variable "PELLORAN_SANDBOX" (a folder holding "sandbox.json").
// Nothing when the variable is unset, or in a build without the sandbox (every macOS build): there a
// variable that redirects `codesign` would defeat the signature check. A named sandbox that cannot
// be read is thrown, so a broken set-up never silently falls back to the real machine.
std::optional<SandboxConfig> sandboxFromEnvironment();
SandboxConfig readSandbox(const std::filesystem::path& folder);

// What the application builds differently inside a sandbox. Everything is made once and kept for
// the whole process.
struct SandboxServices {
    pelkit::HTTP* http = nullptr;             // trusts only the sandbox's CA
    CoreEngineFactory::Builder engineBuilder; // sources on the local server, scanner on the folder
    pelkit::KillSwitchOptions killSwitch;
    // Carries the analytics uploads to the sandbox's server, whatever address they are meant for.
    std::shared_ptr<platform::HttpTransport> analyticsTransport;
};

// Sends every request to `baseURL` instead of its own scheme, host and port (path and query kept),
// trusting only `caFile`, over `inner`.
class RedirectedTransport final : public platform::HttpTransport {
public:
    RedirectedTransport(std::string baseURL, std::filesystem::path caFile, platform::HttpTransport& inner);
    using platform::HttpTransport::perform;
    platform::HttpResponseHead perform(const platform::HttpRequest& request, platform::BodySink& sink,
                                       std::stop_token stop) override;

private:
    std::string baseURL_;
    std::filesystem::path caFile_;
    platform::HttpTransport& inner_;
};

// Points the tool lookup at the sandbox's tools and builds the services over its server.
SandboxServices enterSandbox(const SandboxConfig& config);

} // namespace pelapp
