#include "PelKit/Telemetry.hpp"

#include <mutex>

namespace pelkit {
namespace {

struct Holder {
    std::mutex mutex;
    std::shared_ptr<TelemetrySink> sink = std::make_shared<NoopTelemetry>();
};

Holder& holder() {
    static auto* h = new Holder(); // never destroyed: reporters may run at exit
    return *h;
}

} // namespace

std::shared_ptr<TelemetrySink> Telemetry::impl() {
    auto& h = holder();
    std::lock_guard lock(h.mutex);
    return h.sink;
}

void Telemetry::setImpl(std::shared_ptr<TelemetrySink> sink) {
    if (!sink) sink = std::make_shared<NoopTelemetry>();
    auto& h = holder();
    std::lock_guard lock(h.mutex);
    h.sink = std::move(sink);
}

void Telemetry::captureError(const PelError& error, const Tags& extra) {
    Tags tags = extra;
    tags["code"] = std::string(rawValue(error.code()));
    tags["class"] = std::string(rawValue(klass(error.code())));
    if (error.source()) tags["source"] = std::string(rawValue(*error.source()));
    if (error.bundleID()) tags["bundleID"] = *error.bundleID();
    impl()->captureError(error, tags);
}

void Telemetry::breadcrumb(const std::string& category, const std::string& message, const Json& data) {
    impl()->breadcrumb(category, message, data);
}

} // namespace pelkit
