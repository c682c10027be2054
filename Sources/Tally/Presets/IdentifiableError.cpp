#include "Tally/Presets/IdentifiableError.hpp"

#include <array>
#include <utility>

namespace tally {
namespace {

constexpr std::array<std::pair<ErrorCategory, std::string_view>, 3> kRawValues{{
    {ErrorCategory::thrownException, "thrown-exception"},
    {ErrorCategory::userInput, "user-input"},
    {ErrorCategory::appState, "app-state"},
}};

std::string describe(const std::exception_ptr& error) {
    if (!error) return "";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& exception) {
        return exception.what();
    } catch (...) {
        return "";
    }
}

} // namespace

std::string_view rawValue(ErrorCategory category) {
    for (const auto& [value, raw] : kRawValues) {
        if (value == category) return raw;
    }
    return "";
}

std::optional<ErrorCategory> errorCategoryFromRaw(std::string_view raw) {
    for (const auto& [value, text] : kRawValues) {
        if (text == raw) return value;
    }
    return std::nullopt;
}

std::string AnyIdentifiableError::localizedDescription() const {
    if (const auto* code = std::get_if<std::error_code>(&error_)) return code->message();
    return describe(std::get<std::exception_ptr>(error_));
}

AnyIdentifiableError withID(std::exception_ptr error, std::string id) {
    return AnyIdentifiableError(std::move(id), std::move(error));
}

AnyIdentifiableError withID(std::error_code error, std::string id) {
    return AnyIdentifiableError(std::move(id), error);
}

} // namespace tally
