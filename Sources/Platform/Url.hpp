#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// An absolute URL. Kept as its text; the components are split out once at parse time.
// Parsing is strict: a scheme is required, and blanks or control characters are refused.
class Url {
public:
    static std::optional<Url> parse(std::string_view text);
    // A file URL for an absolute file-system path (percent-encoding what needs it).
    static Url fromFilePath(std::string_view path);

    const std::string& text() const { return text_; }  // the absolute string
    const std::string& scheme() const { return scheme_; }  // lower case
    const std::string& host() const { return host_; }  // lower case, brackets kept off IPv6
    std::optional<int> port() const { return port_; }
    const std::string& path() const { return path_; }  // as written (percent-encoded)
    const std::optional<std::string>& query() const { return query_; }
    const std::optional<std::string>& fragment() const { return fragment_; }

    bool isFile() const { return scheme_ == "file"; }
    // The percent-decoded path: the file-system path of a file URL.
    std::string filePath() const;
    // The percent-decoded last path component ("" when the path ends in "/" or is empty).
    std::string lastPathComponent() const;
    // Resolve a reference (absolute, scheme-relative, absolute-path or relative) against this URL.
    std::optional<Url> resolve(std::string_view reference) const;

    bool operator==(const Url& other) const { return text_ == other.text_; }

private:
    std::string text_;
    std::string scheme_;
    std::string host_;
    std::optional<int> port_;
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
};

std::string percentDecode(std::string_view text);
// Percent-encodes every byte outside the unreserved set and `keep`.
std::string percentEncode(std::string_view text, std::string_view keep = "/");

}  // namespace platform
