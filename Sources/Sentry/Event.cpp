#include "Sentry/Event.hpp"

#include "Platform/Uuid.hpp"

#include <cctype>

namespace sentry {

std::string_view levelName(Level level) {
    switch (level) {
    case Level::debug:
        return "debug";
    case Level::info:
        return "info";
    case Level::warning:
        return "warning";
    case Level::error:
        return "error";
    case Level::fatal:
        return "fatal";
    }
    return "error";
}

std::string newEventId() {
    std::string id;
    id.reserve(32);
    for (char c : platform::uuidV4()) {
        if (c != '-') id.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return id;
}

} // namespace sentry
