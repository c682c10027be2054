#pragma once

#include "PelKit/Engine.hpp"
#include "PelKit/Installer.hpp"
#include "PelKit/Models.hpp"
#include "PelKit/Scanner.hpp"

#include <functional>
#include <memory>
#include <stop_token>

namespace pelkit {
class Journal;
class Overrides;
} // namespace pelkit

namespace pelapp {

// The part of the engine the model uses. Every call blocks on the caller's thread, as the engine's do;
// the model runs check and update through offMain. The engine and what it refers to live for the
// whole process.
class EngineApi {
public:
    virtual ~EngineApi() = default;

    virtual pelkit::ScanResult scan() = 0;
    virtual pelkit::ResolvedApp check(const pelkit::InstalledApp& app, bool useCache) = 0;
    // Throws what the engine throws: a PelError, platform::Cancelled, or another error unchanged.
    virtual pelkit::InstallResult update(const pelkit::InstalledApp& app, const pelkit::RemoteVersion& remote,
                                         const pelkit::EngineOptions& opts,
                                         const pelkit::Engine::UpdateProgress& progress,
                                         const pelkit::Engine::BytesProgress& bytesProgress,
                                         std::stop_token stop) = 0;
    virtual pelkit::Overrides& overrides() = 0;
    virtual pelkit::Journal& journal() = 0;
};

// Makes the engine on first success and keeps it, its overrides and its journal for the rest of the
// process. A failure is thrown; the next call tries again.
class EngineFactory {
public:
    virtual ~EngineFactory() = default;
    virtual EngineApi& make() = 0;
};

// The engine of the core library behind EngineApi, forwarding every call unchanged.
class CoreEngine final : public EngineApi {
public:
    explicit CoreEngine(pelkit::Engine& engine) : engine_(engine) {}

    pelkit::ScanResult scan() override;
    pelkit::ResolvedApp check(const pelkit::InstalledApp& app, bool useCache) override;
    pelkit::InstallResult update(const pelkit::InstalledApp& app, const pelkit::RemoteVersion& remote,
                                 const pelkit::EngineOptions& opts,
                                 const pelkit::Engine::UpdateProgress& progress,
                                 const pelkit::Engine::BytesProgress& bytesProgress,
                                 std::stop_token stop) override;
    pelkit::Overrides& overrides() override;
    pelkit::Journal& journal() override;

private:
    pelkit::Engine& engine_;
};

// The production factory: PelPaths::ensureDirs(), Overrides::load(PelPaths::overridesFile()), a new
// Journal, then the engine over them. What it makes is never destroyed (worker threads may still use
// it while the process exits).
class CoreEngineFactory final : public EngineFactory {
public:
    // Builds the engine over the loaded overrides and the journal; the default is Engine(overrides,
    // journal). A different builder can hand in sources and seams (base URLs, workspace, clients).
    using Builder = std::function<std::unique_ptr<pelkit::Engine>(pelkit::Overrides&, pelkit::Journal&)>;

    explicit CoreEngineFactory(Builder build = {});
    EngineApi& make() override;

private:
    Builder build_;
    EngineApi* made_ = nullptr;
};

} // namespace pelapp
