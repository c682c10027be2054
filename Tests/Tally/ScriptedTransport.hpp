#pragma once

#include "Platform/Clock.hpp"
#include "Platform/HttpTransport.hpp"

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tallytest {

// One scripted answer: a status (with a body), or a transport error when `failure` is set.
struct ScriptedAnswer {
    int status = 200;
    std::string body;
    std::optional<std::string> failure;
    std::optional<std::string> location; // sent as "Location"

    static ScriptedAnswer withStatus(int code) { return ScriptedAnswer{code, {}, {}, {}}; }
    static ScriptedAnswer error(std::string description) {
        return ScriptedAnswer{0, {}, std::move(description), {}};
    }
};

// A transport that answers from a script (the last answer repeats; 200 when none is given) and records
// each request with the clock's time at the call.
class ScriptedTransport final : public platform::HttpTransport {
public:
    struct Call {
        platform::HttpRequest request;
        platform::TimePoint at;
    };

    explicit ScriptedTransport(const platform::Clock& clock) : clock_(clock) {}

    void script(std::vector<ScriptedAnswer> answers) {
        std::lock_guard lock(mutex_);
        answers_.assign(answers.begin(), answers.end());
    }
    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

    using platform::HttpTransport::perform;
    platform::HttpResponseHead perform(const platform::HttpRequest& request, platform::BodySink& sink,
                                       std::stop_token) override {
        ScriptedAnswer answer;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back({request, clock_.now()});
            if (!answers_.empty()) {
                answer = answers_.front();
                if (answers_.size() > 1) answers_.pop_front();
            }
        }
        if (answer.failure)
            throw platform::TransportError(platform::TransportErrorKind::other, *answer.failure);
        platform::HttpResponseHead head{answer.status, {}, request.url};
        if (answer.location) head.headers.set("Location", *answer.location);
        sink.begin(head);
        sink.write(answer.body);
        return head;
    }

private:
    const platform::Clock& clock_;
    mutable std::mutex mutex_;
    std::deque<ScriptedAnswer> answers_;
    std::vector<Call> calls_;
};

} // namespace tallytest
