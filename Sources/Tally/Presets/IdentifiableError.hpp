#pragma once

#include <concepts>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <variant>

namespace tally {

// What kind of fault an error report is about.
enum class ErrorCategory { thrownException, userInput, appState };

// "thrown-exception", "user-input", "app-state".
std::string_view rawValue(ErrorCategory category);
// The category of exactly that raw text (case-sensitive); none for any other text.
std::optional<ErrorCategory> errorCategoryFromRaw(std::string_view raw);

// An error that carries a stable identifier for reports.
class IdentifiableError {
public:
    virtual ~IdentifiableError() = default;
    virtual std::string id() const = 0;
    // The human-readable message of the error.
    virtual std::string localizedDescription() const = 0;
};

// Any error given an identifier; its description is the wrapped error's own.
class AnyIdentifiableError final : public IdentifiableError {
public:
    // An exception (its what()) or an error code (its message()).
    using Error = std::variant<std::exception_ptr, std::error_code>;

    AnyIdentifiableError(std::string id, Error error) : id_(std::move(id)), error_(std::move(error)) {}

    std::string id() const override { return id_; }
    // what() of the exception, "" for one that is no std::exception; message() of the code.
    std::string localizedDescription() const override;
    const Error& error() const { return error_; }

private:
    std::string id_;
    Error error_;
};

// In a handler pass std::current_exception(), which keeps the thrown type.
AnyIdentifiableError withID(std::exception_ptr error, std::string id);
AnyIdentifiableError withID(std::error_code error, std::string id);
// A copy of `error` as its static type: a bare std::exception would lose its text, so it is refused.
template <class E>
requires std::derived_from<E, std::exception> &&
    (!std::is_same_v<std::remove_cv_t<E>, std::exception>)AnyIdentifiableError
    withID(const E& error, std::string id) {
    return withID(std::make_exception_ptr(error), std::move(id));
}

} // namespace tally
