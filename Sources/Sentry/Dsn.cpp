#include "Sentry/Dsn.hpp"

#include <algorithm>
#include <cctype>

namespace sentry {

namespace {

bool allDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

} // namespace

std::optional<Dsn> Dsn::parse(std::string_view text) {
    auto url = platform::Url::parse(text);
    if (!url || url->scheme() != "https" || url->host().empty()) return std::nullopt;
    if (url->query() || url->fragment()) return std::nullopt;

    // Url keeps no user part, so the key is read from the authority here.
    std::string_view rest = text.substr(text.find("://") + 3);
    std::string_view authority = rest.substr(0, rest.find('/'));
    size_t at = authority.rfind('@');
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view user = authority.substr(0, at);
    user = user.substr(0, user.find(':')); // a legacy secret after the key is not ours to send
    if (user.empty()) return std::nullopt;

    std::string_view path = url->path();
    if (path.starts_with('/')) path.remove_prefix(1);
    if (path.ends_with('/')) path.remove_suffix(1);
    if (!allDigits(path)) return std::nullopt;

    Dsn dsn;
    dsn.text = std::string(text);
    dsn.publicKey = std::string(user);
    dsn.host = url->host();
    dsn.port = url->port();
    dsn.projectId = std::string(path);
    return dsn;
}

platform::Url Dsn::envelopeUrl() const {
    std::string text = "https://";
    text += host.find(':') == std::string::npos ? host : "[" + host + "]";
    if (port) text += ":" + std::to_string(*port);
    text += "/api/" + projectId + "/envelope/";
    return *platform::Url::parse(text);
}

} // namespace sentry
