#include "PelApp/Telemetry/Scrubbing.hpp"

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

std::string_view withoutTrailingSlashes(std::string_view home) {
    while (home.size() > 1 && home.back() == '/')
        home.remove_suffix(1);
    return home;
}

// Replaces every occurrence of any of `homes` with "$HOME", then the login name between them.
std::string scrub(std::string_view text, const std::vector<std::string_view>& homes, std::string_view loginName) {
    // Split at the home path first, so the login name is replaced only between its occurrences.
    std::vector<std::string_view> pieces;
    std::size_t from = 0;
    for (;;) {
        std::size_t at = std::string_view::npos;
        std::size_t length = 0;
        for (std::string_view home : homes) {
            const std::size_t found = text.find(home, from);
            if (found < at || (found == at && found != std::string_view::npos && home.size() > length)) {
                at = found;
                length = home.size();
            }
        }
        if (at == std::string_view::npos) break;
        pieces.push_back(text.substr(from, at - from));
        from = at + length;
    }
    pieces.push_back(text.substr(from));
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) out += kHomeMark;
        appendReplacing(out, pieces[i], loginName, kUserMark);
    }
    return out;
}

} // namespace

std::string scrubPersonalText(std::string_view text, std::string_view home, std::string_view loginName) {
    home = withoutTrailingSlashes(home);
    std::vector<std::string_view> homes;
    if (isReplaceable(home)) homes.push_back(home);
    return scrub(text, homes, loginName);
}

std::string scrubJournalText(std::string_view text, std::string_view home, std::string_view loginName) {
    home = withoutTrailingSlashes(home);
    if (!isReplaceable(home)) return scrub(text, {}, loginName);
    std::string escaped;
    for (char c : home) {
        if (c == '/') escaped += '\\';
        escaped += c;
    }
    return scrub(text, {home, escaped}, loginName);
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
