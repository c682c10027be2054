#include "Platform/Url.hpp"

#include <algorithm>
#include <cctype>
#include <vector>

namespace platform {
namespace {

bool isSchemeChar(char c, bool first) {
    if (std::isalpha(static_cast<unsigned char>(c))) return true;
    if (first) return false;
    return std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Removes "." and ".." segments of an absolute path.
std::string removeDotSegments(std::string_view path) {
    std::vector<std::string> out;
    size_t i = 0;
    bool trailingSlash = false;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        std::string seg(path.substr(i, j - i));
        trailingSlash = false;
        if (seg == ".") {
            trailingSlash = true;
        } else if (seg == "..") {
            if (!out.empty()) out.pop_back();
            trailingSlash = true;
        } else if (!seg.empty() || j == path.size()) {
            out.push_back(seg);
        }
        i = j + 1;
    }
    std::string result;
    for (const auto& seg : out) {
        result += "/";
        result += seg;
    }
    if (trailingSlash || result.empty()) {
        if (result.empty() || result.back() != '/') result += "/";
    }
    return result;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    if (text.empty()) return std::nullopt;
    for (unsigned char c : text) {
        if (c <= 0x20 || c == 0x7f) return std::nullopt;
    }
    size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    for (size_t i = 0; i < colon; ++i) {
        if (!isSchemeChar(text[i], i == 0)) return std::nullopt;
    }
    Url url;
    url.text_ = std::string(text);
    url.scheme_ = lower(text.substr(0, colon));
    std::string_view rest = text.substr(colon + 1);

    size_t hash = rest.find('#');
    if (hash != std::string_view::npos) {
        url.fragment_ = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    size_t qmark = rest.find('?');
    if (qmark != std::string_view::npos) {
        url.query_ = std::string(rest.substr(qmark + 1));
        rest = rest.substr(0, qmark);
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        size_t slash = rest.find('/');
        std::string_view authority = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
        size_t at = authority.rfind('@');
        if (at != std::string_view::npos) authority = authority.substr(at + 1);
        std::string_view hostPart = authority;
        std::string_view portPart;
        if (authority.starts_with("[")) {
            size_t close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            hostPart = authority.substr(1, close - 1);
            std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after[0] != ':') return std::nullopt;
                portPart = after.substr(1);
            }
        } else {
            size_t pc = authority.rfind(':');
            if (pc != std::string_view::npos) {
                hostPart = authority.substr(0, pc);
                portPart = authority.substr(pc + 1);
            }
        }
        if (!portPart.empty()) {
            int port = 0;
            for (char c : portPart) {
                if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
                port = port * 10 + (c - '0');
                if (port > 65535) return std::nullopt;
            }
            url.port_ = port;
        }
        url.host_ = lower(hostPart);
    }
    url.path_ = std::string(rest);
    return url;
}

Url Url::fromFilePath(std::string_view path) {
    std::string text = "file://" + percentEncode(path, "/-._~!$&'()*+,;=:@");
    return *parse(text);
}

std::string Url::filePath() const { return percentDecode(path_); }

std::string Url::lastPathComponent() const {
    size_t slash = path_.rfind('/');
    std::string_view last = slash == std::string::npos ? std::string_view(path_)
                                                       : std::string_view(path_).substr(slash + 1);
    return percentDecode(last);
}

std::optional<Url> Url::resolve(std::string_view reference) const {
    if (auto absolute = parse(reference); absolute) {
        // Only a real scheme makes it absolute; "host:8080/x" style references are not used here.
        return absolute;
    }
    for (unsigned char c : reference) {
        if (c <= 0x20 || c == 0x7f) return std::nullopt;
    }
    std::string prefix = scheme_ + ":";
    if (reference.starts_with("//")) return parse(prefix + std::string(reference));
    std::string authority = "//" + host_;
    if (host_.find(':') != std::string::npos) authority = "//[" + host_ + "]";
    if (port_) authority += ":" + std::to_string(*port_);
    std::string_view ref = reference;
    std::string suffix;
    size_t cut = ref.find_first_of("?#");
    if (cut != std::string_view::npos) {
        suffix = std::string(ref.substr(cut));
        ref = ref.substr(0, cut);
    }
    std::string path;
    if (ref.empty()) {
        path = path_;
        if (suffix.empty() || suffix[0] == '#') {
            if (query_) path += "?" + *query_;
        }
    } else if (ref.starts_with("/")) {
        path = removeDotSegments(ref);
    } else {
        std::string base = path_.empty() ? "/" : path_;
        base = base.substr(0, base.rfind('/') + 1);
        path = removeDotSegments(base + std::string(ref));
    }
    return parse(prefix + authority + path + suffix);
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int hi = hexValue(text[i + 1]);
            int lo = hexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string percentEncode(std::string_view text, std::string_view keep) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' ||
            keep.find(static_cast<char>(c)) != std::string_view::npos) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

}  // namespace platform
