#include "PelApp/Model/ErrorText.hpp"

#include "PelKit/Models.hpp"

namespace pelapp {

std::string errorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const pelkit::PelError& e) {
        return pelkit::displayText(e);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

} // namespace pelapp
