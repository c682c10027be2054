#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace pelapp::L10n {

// The display text of a localisation key; the key itself when the table has none.
std::string text(std::string_view key);

// The display text of a key with "%lld" in place of each integer: each "%lld", in order, becomes the
// next number in plain decimal. A placeholder without a number stays as it is; extra numbers are
// ignored.
std::string text(std::string_view key, std::initializer_list<long long> numbers);

// The display text of a key with its first "%@" replaced by `inserted`, shown verbatim (a name, a
// path); a text without the placeholder stays as it is.
std::string inserting(std::string_view key, std::string_view inserted);

} // namespace pelapp::L10n
