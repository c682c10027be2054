#include "PelApp/Scrubbing.hpp"

#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace pelapp {

namespace {

constexpr std::string_view kHomeMark = "$HOME";
constexpr std::string_view kUserMark = "$USER";

bool isReplaceable(std::string_view needle) {
    return !needle.empty() && needle != "/";
}

void appendReplacing(std::string& out, std::string_view text, std::string_view needle,
                     std::string_view mark) {
    if (!isReplaceable(needle)) {
        out += text;
        return;
    }
    std::size_t from = 0;
    for (std::size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, from)) {
        out += text.substr(from, at - from);
        out += mark;
        from = at + needle.size();
    }
    out += text.substr(from);
}

} // namespace

std::string scrubPersonalText(std::string_view text, std::string_view home, std::string_view loginName) {
    while (home.size() > 1 && home.back() == '/')
        home.remove_suffix(1);
    // Split at the home path first, so the login name is replaced only between its occurrences.
    std::vector<std::string_view> pieces;
    if (isReplaceable(home)) {
        std::size_t from = 0;
        for (std::size_t at = text.find(home); at != std::string_view::npos; at = text.find(home, from)) {
            pieces.push_back(text.substr(from, at - from));
            from = at + home.size();
        }
        pieces.push_back(text.substr(from));
    } else {
        pieces.push_back(text);
    }
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) out += kHomeMark;
        appendReplacing(out, pieces[i], loginName, kUserMark);
    }
    return out;
}

std::optional<std::string> passwordDatabaseName(uid_t uid) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_name)
        return std::nullopt;
    return std::string(found->pw_name);
}

std::string currentLoginName(const PasswordLookup& lookup) {
    if (!lookup) return {};
    return lookup(::getuid()).value_or("");
}

} // namespace pelapp
