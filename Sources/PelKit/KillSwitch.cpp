#include "PelKit/KillSwitch.hpp"

#include "PelKit/VersionCompare.hpp"
#include "Platform/HttpTransport.hpp"
#include "Platform/Json.hpp"

#include <stdexcept>

namespace pelkit {

namespace {

// The document is a few hundred bytes; anything far larger is not one.
constexpr std::size_t maxDocumentBytes = 1 << 20;

class CappedSink final : public platform::BodySink {
public:
    void begin(const platform::HttpResponseHead&) override {}
    void write(std::string_view bytes) override {
        if (bytes.size() > maxDocumentBytes - body.size())
            throw std::length_error("kill-switch document too large");
        body.append(bytes);
    }
    std::string body;
};

std::vector<std::string> stringArray(const platform::Json& document, const std::string& key) {
    const platform::Json* array = platform::json::looseArray(document, key);
    if (!array) return {};
    std::vector<std::string> out;
    for (const platform::Json& item : *array) {
        if (!item.is_string()) return {};
        out.push_back(item.get<std::string>());
    }
    return out;
}

std::optional<KillSwitchDecision> decide(std::string_view currentVersion, const std::string& body) {
    platform::Json document = platform::Json::parse(body, nullptr, false);
    if (document.is_discarded() || !document.is_object()) return std::nullopt;

    KillSwitchDecision decision;
    decision.minVersion = platform::json::looseString(document, "minVersion");
    decision.message = platform::json::looseString(document, "message");
    decision.disabledSources = stringArray(document, "disabledSources");
    bool asked = platform::json::looseBool(document, "forceUpgrade").value_or(false);
    decision.forceUpgrade =
        asked && decision.minVersion &&
        VersionCompare::compare(currentVersion, *decision.minVersion) == ComparisonResult::ascending;
    return decision;
}

std::optional<platform::Url> documentURL(std::string baseURL) {
    while (!baseURL.empty() && baseURL.back() == '/')
        baseURL.pop_back();
    return platform::Url::parse(baseURL + "/killswitch.json");
}

} // namespace

const platform::Url& KillSwitch::endpoint() {
    static const platform::Url url = *documentURL(KillSwitchOptions{}.baseURL);
    return url;
}

std::optional<KillSwitchDecision> KillSwitch::fetch(std::string_view currentVersion,
                                                    const KillSwitchOptions& options) noexcept {
    try {
        auto url = documentURL(options.baseURL);
        if (!url || url->scheme() != "https") return std::nullopt;

        platform::HttpRequest request;
        request.url = *url;
        request.headers.set("User-Agent", std::string(userAgent));
        request.stallTimeout = options.timeout;
        request.caFile = options.caFile;

        platform::HttpTransport& transport =
            options.transport ? *options.transport : platform::defaultTransport();
        CappedSink sink;
        platform::HttpResponseHead head = transport.perform(request, sink, {});
        // Text from a document that reached us over plain http could come from anyone on the path.
        if (head.url.scheme() != "https" || head.status != 200) return std::nullopt;
        return decide(currentVersion, sink.body);
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace pelkit
