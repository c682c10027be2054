#include "PelKit/ScriptQuoting.hpp"

#include "PelKit/Proc.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace pelkit;

TEST(ScriptQuoting, ShellQuoteChangesOnlySingleQuotes) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "''"},
        {"/Applications/Foo.app", "'/Applications/Foo.app'"},
        {"it's", "'it'\\''s'"},
        {"''", "''\\'''\\'''"},
        {"a \"b\" \\c $d `e` \n", "'a \"b\" \\c $d `e` \n'"},
    };
    for (const auto& [text, want] : cases)
        EXPECT_EQ(shellQuote(text), want) << text;
}

TEST(ScriptQuoting, AppleScriptEscapeDoublesBackslashesThenEscapesQuotes) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"plain 'text'", "plain 'text'"},
        {"\\", "\\\\"},
        {"\"", "\\\""},
        {"\\\"", "\\\\\\\""}, // \" becomes \\\" : the backslash is not taken for the quote's escape
        {"a\nb $c `d`", "a\nb $c `d`"},
    };
    for (const auto& [text, want] : cases)
        EXPECT_EQ(appleScriptEscape(text), want) << text;
}

TEST(ScriptQuoting, AShellQuotedWordReachesTheShellUnchanged) {
    // Canaries that would print something else if the shell expanded them.
    for (std::string word : {"", "it's", "'", "a b", "$HOME", "$(echo no)", "`echo no`", "\\n \\ \"q\"",
                             "line\nbreak", "tab\there", "*", "~", "-n", "\xC3\xA9t\xC3\xA9"}) {
        auto r = Proc::run("/bin/sh", {"-c", "printf '%s' " + shellQuote(word)}, 10);
        ASSERT_TRUE(r.ok()) << r.stderr;
        EXPECT_EQ(r.stdout, word);
    }
}
