#include "Tally/DefaultsStore.hpp"

#include <map>
#include <mutex>

namespace tally {

struct DefaultsStore::MemorySuites {
    std::mutex mutex;
    std::map<std::string, platform::Defaults> suites;
};

DefaultsStore DefaultsStore::inDirectory(std::filesystem::path root) {
    DefaultsStore store;
    store.root_ = std::move(root);
    return store;
}

DefaultsStore DefaultsStore::inMemory() {
    DefaultsStore store;
    store.memory_ = std::make_shared<MemorySuites>();
    return store;
}

platform::Defaults DefaultsStore::suite(const std::string& name) const {
    if (root_) return platform::Defaults::file(*root_ / (name + ".json"));
    std::lock_guard lock(memory_->mutex);
    auto it = memory_->suites.find(name);
    if (it == memory_->suites.end()) it = memory_->suites.emplace(name, platform::Defaults::inMemory()).first;
    return it->second; // a copy is another handle on the same store
}

} // namespace tally
