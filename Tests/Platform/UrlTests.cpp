#include "Platform/Url.hpp"

#include <gtest/gtest.h>

using platform::Url;

TEST(Url, ParseRejectsBlanksControlsAndMissingScheme) {
    for (const char* text : {"", "example.com/x", "://x", "https://exa mple.com", "https://x.com/\n", "1http://x",
                             "https://x.com:99999/", "https://x.com:8a/"}) {
        EXPECT_FALSE(Url::parse(text)) << text;
    }
}

TEST(Url, Components) {
    auto u = Url::parse("HTTPS://Example.COM:8443/a/b%20c.zip?x=1#frag");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->scheme(), "https");
    EXPECT_EQ(u->host(), "example.com");
    EXPECT_EQ(u->port(), 8443);
    EXPECT_EQ(u->path(), "/a/b%20c.zip");
    EXPECT_EQ(u->query(), "x=1");
    EXPECT_EQ(u->fragment(), "frag");
    EXPECT_EQ(u->lastPathComponent(), "b c.zip");
    EXPECT_EQ(u->text(), "HTTPS://Example.COM:8443/a/b%20c.zip?x=1#frag");
    EXPECT_EQ(Url::parse("https://[::1]:9/x")->host(), "::1");
}

TEST(Url, FilePathsRoundTrip) {
    auto u = Url::fromFilePath("/Applications/My App #2.app");
    EXPECT_TRUE(u.isFile());
    EXPECT_EQ(u.text(), "file:///Applications/My%20App%20%232.app");
    EXPECT_EQ(u.filePath(), "/Applications/My App #2.app");
    EXPECT_EQ(u, *Url::parse(u.text()));
}

TEST(Url, ResolveReferences) {
    auto base = *Url::parse("https://h.example:8443/dir/feed.xml?q=1");
    struct Case {
        const char* ref;
        const char* want;
    } cases[] = {
        {"http://other/x", "http://other/x"},
        {"//cdn.example/a", "https://cdn.example/a"},
        {"/abs/b.zip", "https://h.example:8443/abs/b.zip"},
        {"rel.zip", "https://h.example:8443/dir/rel.zip"},
        {"../up.zip?x", "https://h.example:8443/up.zip?x"},
    };
    for (const auto& c : cases) {
        auto r = base.resolve(c.ref);
        ASSERT_TRUE(r) << c.ref;
        EXPECT_EQ(r->text(), c.want) << c.ref;
    }
}
