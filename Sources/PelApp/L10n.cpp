#include "PelApp/L10n.hpp"

#include <map>

namespace pelapp::L10n {

namespace {

const std::map<std::string, std::string, std::less<>>& table() {
    static const auto* entries = new std::map<std::string, std::string, std::less<>>{
        {"app.name", "Pelloran"},
        {"toolbar.rescan", "Rescan"},
    };
    return *entries;
}

} // namespace

std::string text(std::string_view key) {
    const auto& entries = table();
    auto it = entries.find(key);
    return it == entries.end() ? std::string(key) : it->second;
}

} // namespace pelapp::L10n
