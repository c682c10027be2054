#include "Tally/Signals/SignalManager.hpp"

#include "Platform/Unicode.hpp"
#include "Platform/Uuid.hpp"
#include "Tally/Helpers/CryptoHashing.hpp"
#include "Tally/Helpers/TelemetryEncoder.hpp"
#include "Tally/Runtime.hpp"
#include "Tally/Signals/DefaultSignalPayload.hpp"
#include "Tally/Tally.hpp"
#include "Tally/TelemetryManagerConfiguration.hpp"

#include <fmt/format.h>

#include <chrono>
#include <cmath>
#include <string_view>

namespace tally {
namespace {

const std::string kDefaultUserIdentifier = "defaultUserIdentifier";

struct ResponseDisposition {
    enum class Kind { success, drop, retry } kind;
    std::string reason; // for drop
};

ResponseDisposition disposition(int status) {
    using Kind = ResponseDisposition::Kind;
    if (status >= 200 && status <= 299) return {Kind::success, {}};
    switch (status) {
    case 400:
        return {Kind::drop, "Bad Request (400)"};
    case 401:
        return {Kind::drop, "Unauthorized (401)"};
    case 403:
        return {Kind::drop, "Forbidden (403)"};
    case 404:
        return {Kind::drop, "Not Found (404)"};
    case 413:
        return {Kind::drop, "Payload Too Large (413)"};
    case 422:
        return {Kind::drop, "Unprocessable Entity (422)"};
    case 501:
        return {Kind::drop, "Not Implemented (501)"};
    case 505:
        return {Kind::drop, "HTTP Version Not Supported (505)"};
    default:
        return {Kind::retry, {}};
    }
}

// Keeps the start of the answer and discards the rest as it arrives: a broken or hostile server cannot
// make the process hold what it sends.
class PrefixSink final : public platform::BodySink {
public:
    explicit PrefixSink(std::size_t limit) : limit_(limit) {}
    void begin(const platform::HttpResponseHead&) override {}
    void write(std::string_view bytes) override {
        const std::size_t room = limit_ - kept_.size();
        if (bytes.size() > room) truncated_ = true;
        kept_.append(bytes.substr(0, room));
    }
    // The kept bytes; when the answer was cut, without a character left incomplete at the cut.
    std::string take() {
        if (truncated_) trimIncompleteCharacter();
        return std::move(kept_);
    }

private:
    void trimIncompleteCharacter() {
        // A cut character is a lead byte followed by fewer continuation bytes than it announces.
        std::size_t continuation = 0;
        while (continuation < 3 && continuation < kept_.size() &&
               (static_cast<unsigned char>(kept_[kept_.size() - 1 - continuation]) & 0xC0) == 0x80)
            ++continuation;
        if (continuation == kept_.size()) return;
        const auto lead = static_cast<unsigned char>(kept_[kept_.size() - 1 - continuation]);
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (length > continuation + 1) kept_.resize(kept_.size() - 1 - continuation);
    }

    const std::size_t limit_;
    std::string kept_;
    bool truncated_ = false;
};

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

} // namespace

std::shared_ptr<SignalManageable>
makeSignalManager(const std::shared_ptr<TelemetryManagerConfiguration>& configuration) {
    return SignalManager::create(configuration);
}

std::optional<std::string> refusalReason(const SignalPostBody& record,
                                         const std::optional<std::string>& customUserID) {
    if (record.floatValue && !std::isfinite(*record.floatValue)) return "floatValue is not a finite number";
    bool valid = platform::unicode::isValidUtf8(record.type) &&
                 platform::unicode::isValidUtf8(record.appID) &&
                 platform::unicode::isValidUtf8(record.sessionID) &&
                 (!customUserID || platform::unicode::isValidUtf8(*customUserID));
    for (auto it = record.payload.begin(); valid && it != record.payload.end(); ++it) {
        valid = platform::unicode::isValidUtf8(it->first) && platform::unicode::isValidUtf8(it->second);
    }
    if (!valid) return "text is not valid UTF-8";
    return std::nullopt;
}

std::string describe(const SignalPostBody& record) {
    std::string receivedAt;
    try {
        receivedAt = telemetryDateText(record.receivedAt);
    } catch (const EncodingError&) {
        receivedAt = fmt::format("{}", record.receivedAt);
    }
    std::string payload;
    for (const auto& [key, value] : record.payload) {
        if (!payload.empty()) payload += ", ";
        payload += quoted(key) + ": " + quoted(value);
    }
    return fmt::format("SignalPostBody(receivedAt: {}, appID: {}, clientUser: {}, sessionID: {}, type: {}, "
                       "floatValue: {}, payload: [{}], isTestMode: {})",
                       receivedAt, quoted(record.appID), quoted(record.clientUser), quoted(record.sessionID),
                       quoted(record.type), record.floatValue ? fmt::format("{}", *record.floatValue) : "nil",
                       payload.empty() ? ":" : payload, quoted(record.isTestMode));
}

SignalManager::SignalManager(std::shared_ptr<TelemetryManagerConfiguration> configuration)
    : signalCache_(configuration->swiftUIPreviewMode() ? std::nullopt : configuration->logHandler(),
                   configuration->cacheLimit()),
      configuration_(std::move(configuration)), timerQueue_(makeSerialQueue("SignalTimer")),
      uploadQueue_(makeSerialQueue("SignalUpload")) {}

std::shared_ptr<SignalManager>
SignalManager::create(std::shared_ptr<TelemetryManagerConfiguration> configuration) {
    std::shared_ptr<SignalManager> manager(new SignalManager(std::move(configuration)));
    manager->willTerminate_ =
        runtime().appEvents->subscribe(AppEvent::willTerminate, [weak = std::weak_ptr(manager)] {
            if (auto strong = weak.lock()) strong->appWillTerminate();
        });
    manager->sendCachedSignalsRepeatedly();
    return manager;
}

SignalManager::~SignalManager() {
    willTerminate_.reset();
    sendTimerSource_.cancel(); // the queue may still hold it; its handler finds the pipeline gone
}

std::optional<LogHandler> SignalManager::logHandler() const {
    return configuration_->logHandler();
}

void SignalManager::sendCachedSignalsRepeatedly() {
    attemptToSendNextBatchOfCachedSignals();
    timerQueue_->post([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->consecutiveFailures_ = 0;
            self->scheduleNextTransmission();
        }
    });
}

void SignalManager::processSignal(const std::string& signalName, const Parameters& parameters,
                                  std::optional<double> floatValue,
                                  const std::optional<std::string>& customUserID,
                                  const std::shared_ptr<TelemetryManagerConfiguration>& configuration) {
    runtime().main->post(
        [self = shared_from_this(), signalName, parameters, floatValue, customUserID, configuration] {
            std::string defaultUser = self->defaultUserIdentifier();
            Parameters defaultPayload = DefaultSignalPayload::parameters();
            runtime().utility->post([self, signalName, parameters, floatValue, customUserID, configuration,
                                     defaultUser = std::move(defaultUser),
                                     defaultPayload = std::move(defaultPayload)]() mutable {
                self->processStageTwo(signalName, parameters, floatValue, customUserID, configuration,
                                      defaultUser, std::move(defaultPayload));
            });
        });
}

void SignalManager::processStageTwo(const std::string& signalName, const Parameters& parameters,
                                    std::optional<double> floatValue,
                                    const std::optional<std::string>& customUserID,
                                    const std::shared_ptr<TelemetryManagerConfiguration>& configuration,
                                    const std::string& defaultUser, Parameters defaultPayload) {
    Parameters enrichments;
    for (const auto& enricher : configuration->metadataEnrichers()) {
        if (enricher)
            enrichments = applying(std::move(enrichments),
                                   enricher->enrichSignal(signalName, customUserID, floatValue));
    }
    SignalPostBody record;
    record.receivedAt = secondsSinceReferenceDate(runtime().clock->now());
    record.appID = configuration->telemetryAppID();
    record.clientUser =
        CryptoHashing::sha256(customUserID ? *customUserID : defaultUser, configuration->salt());
    record.sessionID = configuration->sessionID();
    record.type = signalName;
    record.floatValue = floatValue;
    record.payload = applying(applying(std::move(defaultPayload), enrichments), parameters);
    record.isTestMode = configuration->testMode() ? "true" : "false";

    const auto handler = logHandler();
    if (auto reason = refusalReason(record, customUserID)) {
        log(handler, LogLevel::error,
            "Signal '" + platform::unicode::toValidUtf8(record.type) + "' refused: " + *reason);
        return;
    }
    log(handler, LogLevel::debug, [&] { return "Process signal: " + describe(record); });
    signalCache_.push(std::move(record));
}

std::string SignalManager::defaultUserIdentifier() {
    if (auto user = configuration_->defaultUser()) return *user;
    auto suite = Tally::customDefaults();
    if (suite) {
        if (auto stored = suite->string(kDefaultUserIdentifier)) return *stored;
    }
    std::string identifier = platform::uuidV4();
    if (suite) suite->setString(kDefaultUserIdentifier, identifier);
    return identifier;
}

std::optional<platform::Url> SignalManager::getServiceUrl(const platform::Url& baseURL,
                                                          const std::optional<std::string>& namespace_) {
    std::string text = baseURL.text();
    if (!text.ends_with('/')) text += '/';
    if (namespace_ && !namespace_->empty()) {
        text += "v2/namespace/" + *namespace_ + "/";
    } else {
        text += "v2/";
    }
    return platform::Url::parse(text);
}

void SignalManager::scheduleNextTransmission() {
    sendTimerSource_.cancel();
    const double delay = std::min(configuration_->maxBackoffInterval(),
                                  configuration_->transmitInterval() * std::pow(2.0, consecutiveFailures_));
    const auto after =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(delay));
    sendTimerSource_ = timerQueue_->postAfter(after, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->attemptToSendNextBatchOfCachedSignals();
    });
}

void SignalManager::attemptToSendNextBatchOfCachedSignals() {
    const auto handler = logHandler();
    log(handler, LogLevel::debug,
        [&] { return fmt::format("Current signal cache count: {}", signalCache_.count()); });
    std::vector<SignalPostBody> batch = signalCache_.pop();
    if (batch.empty()) {
        handleSendSuccess();
        return;
    }
    log(handler, LogLevel::info, [&] {
        return fmt::format("Sending {} signals leaving a cache of {} signals", batch.size(),
                           signalCache_.count());
    });
    std::string data;
    try {
        data = encodeSignals(batch, DateRule::wire);
    } catch (const std::exception& error) {
        log(handler, LogLevel::error, std::string("Failed to encode signal batch: ") + error.what());
        handleSendFailure(std::move(batch));
        return;
    }
    auto shared = std::make_shared<const std::vector<SignalPostBody>>(std::move(batch));
    send(std::move(data), [weak = weak_from_this(), shared](SendOutcome outcome) {
        if (auto self = weak.lock()) self->complete(*shared, outcome);
    });
}

void SignalManager::send(std::string data, Completion completion) {
    // The request holds the configuration, not the pipeline: a released pipeline ends with the answer.
    // It holds its queue too, so a pipeline released meanwhile does not wait for the upload to end.
    uploadQueue_->post([queue = uploadQueue_, configuration = configuration_, data = std::move(data),
                        completion = std::move(completion)] {
        const auto handler = configuration->logHandler();
        const auto& ingestNamespace = configuration->namespace_();
        auto endpoint = getServiceUrl(configuration->apiBaseURL(), ingestNamespace);
        if (!endpoint) {
            log(handler, LogLevel::error,
                "Unable to construct signal API URL for namespace " + ingestNamespace.value_or("nil"));
            runtime().main->post([completion] {
                completion(SendOutcome{std::nullopt, {}, "Invalid endpoint URL"});
            });
            return;
        }
        platform::HttpRequest request;
        request.url = *endpoint;
        request.method = "POST";
        request.headers.set("Content-Type", "application/json");
        request.body = data;
        request.stallTimeout = std::chrono::seconds(60);
        request.followRedirects = false; // a redirect is the ingest service's answer, not a place to go
        log(handler, LogLevel::debug, [&] { return data; });

        SendOutcome outcome;
        if (auto transport = configuration->urlSession()) {
            try {
                PrefixSink answer(answerPrefixLimit);
                outcome.status = transport->perform(request, answer, {}).status;
                outcome.bodyPrefix = answer.take();
            } catch (const platform::TransportError& error) {
                outcome.error = error.description();
            } catch (const std::exception& error) {
                outcome.error = error.what();
            }
        } else {
            outcome.error = "No transport carries the uploads";
        }
        completion(std::move(outcome));
    });
}

void SignalManager::complete(const std::vector<SignalPostBody>& batch, const SendOutcome& outcome) {
    const auto handler = logHandler();
    if (outcome.error) {
        log(handler, LogLevel::error, *outcome.error);
        handleSendFailure(batch);
        return;
    }
    const int status = outcome.status.value_or(0);
    const auto answer = disposition(status);
    switch (answer.kind) {
    case ResponseDisposition::Kind::success:
        if (!outcome.bodyPrefix.empty() && platform::unicode::isValidUtf8(outcome.bodyPrefix)) {
            log(handler, LogLevel::debug, [&] { return outcome.bodyPrefix; });
        }
        handleSendSuccess();
        break;
    case ResponseDisposition::Kind::drop:
        log(handler, LogLevel::error,
            fmt::format("Dropping {} signal(s): rejected by server {}", batch.size(), answer.reason));
        handleSendSuccess();
        break;
    case ResponseDisposition::Kind::retry:
        log(handler, LogLevel::debug,
            fmt::format("Failed to send events (status {}), will try again later", status));
        handleSendFailure(batch);
        break;
    }
}

void SignalManager::handleSendSuccess() {
    timerQueue_->post([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->consecutiveFailures_ = 0;
            self->scheduleNextTransmission();
        }
    });
}

void SignalManager::handleSendFailure(std::vector<SignalPostBody> requeue) {
    signalCache_.push(std::move(requeue));
    timerQueue_->post([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            ++self->consecutiveFailures_;
            self->scheduleNextTransmission();
        }
    });
}

void SignalManager::appWillTerminate() {
    log(logHandler(), LogLevel::debug, "appWillTerminate()");
    signalCache_.backupCache();
}

} // namespace tally
