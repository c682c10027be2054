#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

// What leaves the machine (crash-report messages, the journal excerpt of a feedback mail) carries
// neither the home folder nor the login name.
namespace pelapp {

// Replaces every occurrence of `home` with "$HOME", then every occurrence of `loginName` elsewhere
// with "$USER". A needle that is empty or "/" is not replaced; trailing slashes of `home` are not
// part of it, so "$HOME" keeps the separator that follows it. The login name inside an inserted
// "$HOME" is never touched.
std::string scrubPersonalText(std::string_view text, std::string_view home, std::string_view loginName);

// The same for journal lines, which also hold the home folder in the escaped form that the journal
// writes ("/" as "\/"): both forms become "$HOME".
std::string scrubJournalText(std::string_view text, std::string_view home, std::string_view loginName);

// The login name of `uid` in the password database; nothing when it has no entry.
using PasswordLookup = std::function<std::optional<std::string>(uid_t)>;
std::optional<std::string> passwordDatabaseName(uid_t uid);

// The current user's login name: the password database's name of the real user id, or empty
// (which the scrubber skips). `lookup` replaces the password database (tests).
std::string currentLoginName(const PasswordLookup& lookup = passwordDatabaseName);

} // namespace pelapp
