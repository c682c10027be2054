#pragma once

#include <string>
#include <string_view>

namespace pelapp::L10n {

// The display text of a localisation key; the key itself when the table has none.
std::string text(std::string_view key);

} // namespace pelapp::L10n
