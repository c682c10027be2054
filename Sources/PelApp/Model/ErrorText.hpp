#pragma once

#include <exception>
#include <string>

namespace pelapp {

// A failure as a status or log text: a core error as "[CODE] message", anything else by its own
// description.
std::string errorText(const std::exception_ptr& error);

} // namespace pelapp
