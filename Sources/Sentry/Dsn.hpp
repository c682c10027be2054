#pragma once

#include "Platform/Url.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace sentry {

// The project's address: "https://<public key>@<host>[:port]/<project id>".
struct Dsn {
    std::string text; // as given; sent back in each envelope's header
    std::string publicKey;
    std::string host; // lower case; an IPv6 address without brackets
    std::optional<int> port;
    std::string projectId; // decimal digits

    // Nothing for anything but https, a missing or empty key, or a path that is not one
    // numeric project identifier.
    static std::optional<Dsn> parse(std::string_view text);

    // "https://<host>[:port]/api/<project id>/envelope/"
    platform::Url envelopeUrl() const;
};

} // namespace sentry
