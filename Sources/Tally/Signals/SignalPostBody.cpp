#include "Tally/Signals/SignalPostBody.hpp"

#include "Tally/Helpers/TelemetryEncoder.hpp"

#include <cmath>

namespace tally {

namespace pj = platform::json;
using platform::Json;
using platform::JsonDecodeError;

Json toJson(const SignalPostBody& body, DateRule rule) {
    Json out = Json::object();
    if (rule == DateRule::wire) {
        out["receivedAt"] = telemetryDateText(body.receivedAt);
    } else {
        if (!std::isfinite(body.receivedAt)) throw EncodingError("receivedAt is not a finite number");
        out["receivedAt"] = body.receivedAt;
    }
    out["appID"] = body.appID;
    out["clientUser"] = body.clientUser;
    out["sessionID"] = body.sessionID;
    out["type"] = body.type;
    if (body.floatValue) {
        if (!std::isfinite(*body.floatValue)) throw EncodingError("floatValue is not a finite number");
        out["floatValue"] = *body.floatValue;
    }
    out["payload"] = body.payload;
    out["isTestMode"] = body.isTestMode;
    return out;
}

SignalPostBody signalPostBodyFromJson(const Json& json, const std::string& path) {
    const Json& obj = pj::requireObject(json, path);
    SignalPostBody body;
    body.receivedAt = pj::requireNumber(obj, "receivedAt", path);
    body.appID = pj::requireString(obj, "appID", path);
    body.clientUser = pj::requireString(obj, "clientUser", path);
    body.sessionID = pj::requireString(obj, "sessionID", path);
    body.type = pj::requireString(obj, "type", path);
    body.floatValue = pj::optionalNumber(obj, "floatValue", path);
    auto payload = obj.find("payload");
    if (payload == obj.end()) throw JsonDecodeError(pj::joinPath(path, "payload"), "missing key");
    const std::string payloadPath = pj::joinPath(path, "payload");
    for (const auto& [key, value] : pj::requireObject(*payload, payloadPath).items()) {
        if (!value.is_string()) throw JsonDecodeError(pj::joinPath(payloadPath, key), "expected a string");
        body.payload.emplace(key, value.get<std::string>());
    }
    body.isTestMode = pj::requireString(obj, "isTestMode", path);
    return body;
}

bool hasSendableDate(const SignalPostBody& body) {
    return isTelemetryDateEncodable(body.receivedAt);
}

std::string encodeSignals(const std::vector<SignalPostBody>& bodies, DateRule rule) {
    return encodeJsonArray(bodies, [rule](const SignalPostBody& body) { return toJson(body, rule); });
}

} // namespace tally
