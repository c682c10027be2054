#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace tally {

// The destination of the last navigation signal, so the next one can name its source. Presets run on
// any thread, so the path is read and replaced under one lock.
class NavigationStatus {
public:
    // Lives for the whole process; the path starts absent.
    static NavigationStatus& shared();

    std::optional<std::string> previousNavigationPath() const;
    void setPreviousNavigationPath(std::optional<std::string> path);
    // Stores `path` and returns the path it replaced, in one step.
    std::optional<std::string> exchangePreviousNavigationPath(std::string path);

private:
    mutable std::mutex mutex_;
    std::optional<std::string> previousNavigationPath_;
};

} // namespace tally
