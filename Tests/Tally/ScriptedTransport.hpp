#pragma once

#include "Platform/Clock.hpp"
#include "Platform/HttpTransport.hpp"

#include <cstddef>
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
    // The body is written this many times, one write each: a long answer arriving in chunks.
    std::size_t bodyRepeats = 1;

    static ScriptedAnswer withStatus(int code) { return ScriptedAnswer{code, {}, {}, {}, 1}; }
    static ScriptedAnswer error(std::string description) {
        return ScriptedAnswer{0, {}, std::move(description), {}, 1};
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
        for (std::size_t i = 0; i < answer.bodyRepeats; ++i)
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
