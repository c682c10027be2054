#pragma once

#include <string>
#include <string_view>

// Quoting for the administrator scripts: a path enters a "do shell script" string as
// appleScriptEscape(shellQuote(path)), so neither the shell nor the script language can read any
// of its characters as syntax.
namespace pelkit {

// One sh word: every "'" becomes "'\''", and the whole is put between single quotes. Nothing else
// changes.
std::string shellQuote(std::string_view path);

// The text between the double quotes of an AppleScript string literal: every "\" doubled, then every
// '"' preceded by "\".
std::string appleScriptEscape(std::string_view text);

} // namespace pelkit
