#include "PelApp/Launch/Sandbox.hpp"

#include "PelKit/Engine.hpp"
#include "PelKit/HTTP.hpp"
#include "PelKit/Proc.hpp"
#include "PelKit/UpdateSources/HomebrewCask.hpp"
#include "PelKit/UpdateSources/MacAppStore.hpp"
#include "PelKit/UpdateSources/Sparkle.hpp"
#include "Platform/Files.hpp"
#include "Platform/Json.hpp"

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

namespace pelapp {

std::optional<SandboxConfig> sandboxFromEnvironment() {
#if defined(PEL_SANDBOX)
    const char* folder = std::getenv("PELLORAN_SANDBOX");
    if (!folder || !*folder) return std::nullopt;
    return readSandbox(folder);
#else
    return std::nullopt;
#endif
}

SandboxConfig readSandbox(const std::filesystem::path& folder) {
    const auto doc = platform::Json::parse(platform::readFile(folder / "sandbox.json"));
    platform::json::requireObject(doc, "");
    SandboxConfig config;
    config.baseURL = platform::json::requireString(doc, "baseURL");
    config.caFile = platform::json::requireString(doc, "caFile");
    config.toolDirectory = platform::json::requireString(doc, "toolDirectory");
    config.applications = platform::json::requireString(doc, "applications");
    if (config.baseURL.rfind("https://", 0) != 0) throw std::runtime_error("sandbox baseURL is not https");
    return config;
}

SandboxServices enterSandbox(const SandboxConfig& config) {
    pelkit::Proc::useToolDirectories({config.toolDirectory});

    pelkit::HTTPOptions options;
    options.caFile = config.caFile;
    // Never destroyed: engine workers and the size probe may use it until the process ends. Kept
    // reachable from a process-wide list, so a leak checker does not count it.
    static auto* clients = new std::vector<std::unique_ptr<pelkit::HTTP>>();
    clients->push_back(std::make_unique<pelkit::HTTP>(options));
    pelkit::HTTP* http = clients->back().get();

    SandboxServices services;
    services.http = http;
    services.killSwitch.baseURL = config.baseURL;
    services.killSwitch.caFile = config.caFile;
    services.analyticsTransport =
        std::make_shared<RedirectedTransport>(config.baseURL, config.caFile, platform::defaultTransport());
    services.engineBuilder = [config, http](pelkit::Overrides& overrides, pelkit::Journal& journal) {
        pelkit::HomebrewCaskOptions cask;
        cask.baseURL = config.baseURL;
        std::vector<std::shared_ptr<pelkit::UpdateSource>> sources{
            std::make_shared<pelkit::HomebrewCaskSource>(*http, &journal, cask),
            std::make_shared<pelkit::SparkleSource>(*http),
            std::make_shared<pelkit::MacAppStoreSource>(*http, config.baseURL),
        };
        pelkit::EngineSeams seams;
        seams.scanRoots =
            std::vector<pelkit::ScanRoot>{{pelkit::Url::fromFilePath(config.applications.string()), false}};
        seams.http = http;
        return std::make_unique<pelkit::Engine>(overrides, journal, std::move(sources), seams);
    };
    return services;
}

RedirectedTransport::RedirectedTransport(std::string baseURL, std::filesystem::path caFile,
                                         platform::HttpTransport& inner)
    : baseURL_(std::move(baseURL)), caFile_(std::move(caFile)), inner_(inner) {
    while (baseURL_.ends_with('/'))
        baseURL_.pop_back();
}

platform::HttpResponseHead RedirectedTransport::perform(const platform::HttpRequest& request,
                                                        platform::BodySink& sink, std::stop_token stop) {
    platform::HttpRequest redirected = request;
    std::string text = baseURL_ + (request.url.path().empty() ? "/" : request.url.path());
    if (request.url.query()) text += "?" + *request.url.query();
    auto url = platform::Url::parse(text);
    if (!url) throw std::invalid_argument("sandbox: cannot redirect " + request.url.text());
    redirected.url = *url;
    redirected.caFile = caFile_;
    redirected.followRedirects = false; // a redirect could lead off the sandbox's server
    return inner_.perform(redirected, sink, stop);
}

} // namespace pelapp
