#include "PelKit/ScriptQuoting.hpp"

namespace pelkit {

std::string shellQuote(std::string_view path) {
    std::string out;
    out.reserve(path.size() + 2);
    out += '\'';
    for (char c : path) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

std::string appleScriptEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

} // namespace pelkit
