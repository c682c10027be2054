#include "PelApp/Model/EngineApi.hpp"

#include "PelKit/Config.hpp"
#include "PelKit/Journal.hpp"

#include <mutex>
#include <vector>

namespace pelapp {

pelkit::ScanResult CoreEngine::scan() {
    return engine_.scan();
}

pelkit::ResolvedApp CoreEngine::check(const pelkit::InstalledApp& app, bool useCache) {
    return engine_.check(app, useCache);
}

pelkit::InstallResult CoreEngine::update(const pelkit::InstalledApp& app, const pelkit::RemoteVersion& remote,
                                         const pelkit::EngineOptions& opts,
                                         const pelkit::Engine::UpdateProgress& progress,
                                         const pelkit::Engine::BytesProgress& bytesProgress,
                                         std::stop_token stop) {
    return engine_.update(app, remote, opts, progress, bytesProgress, std::move(stop));
}

pelkit::Overrides& CoreEngine::overrides() {
    return engine_.overrides;
}

pelkit::Journal& CoreEngine::journal() {
    return engine_.journal;
}

namespace {

// Everything a factory made, reachable until the process ends and never destroyed.
struct Kept {
    std::shared_ptr<pelkit::Overrides> overrides;
    std::unique_ptr<pelkit::Journal> journal;
    std::unique_ptr<pelkit::Engine> engine;
    std::unique_ptr<CoreEngine> api;
};

std::vector<Kept*>& keptForever() {
    static auto* kept = new std::vector<Kept*>();
    return *kept;
}

std::mutex& keptLock() {
    static auto* lock = new std::mutex();
    return *lock;
}

} // namespace

CoreEngineFactory::CoreEngineFactory(Builder build) : build_(std::move(build)) {
    if (!build_) {
        build_ = [](pelkit::Overrides& overrides, pelkit::Journal& journal) {
            return std::make_unique<pelkit::Engine>(overrides, journal);
        };
    }
}

EngineApi& CoreEngineFactory::make() {
    if (made_) return *made_;
    pelkit::PelPaths::ensureDirs();
    auto kept = std::make_unique<Kept>();
    kept->overrides = pelkit::Overrides::load(pelkit::PelPaths::overridesFile());
    kept->journal = std::make_unique<pelkit::Journal>();
    kept->engine = build_(*kept->overrides, *kept->journal);
    kept->api = std::make_unique<CoreEngine>(*kept->engine);
    made_ = kept->api.get();
    std::lock_guard lock(keptLock());
    keptForever().push_back(kept.release());
    return *made_;
}

} // namespace pelapp
