#include "Platform/Plist.hpp"

#include "Platform/PlistInput.hpp"
#include "Platform/Unicode.hpp"

#include <plist/plist.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <pthread.h>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

// Seconds between 1970-01-01 and 2001-01-01.
constexpr double kEpochOffset = 978307200.0;
// Nothing we read is this large; refuse before handing it to the parser.
constexpr size_t kMaxPlistBytes = 64u * 1024u * 1024u;
constexpr int kMaxDepth = 256;
// libplist takes time quadratic in the members of one dictionary and in the entities of one
// text. Far beyond any Info.plist, these bound a hostile document's cost to a fraction of a
// second: the values a binary document may unfold into, and an XML document's markup ('<')
// and entity ('&') characters.
constexpr std::uint32_t kMaxBinaryNodes = 1u << 18;
constexpr size_t kMaxXmlMarkup = 1u << 18;
constexpr size_t kMaxXmlEntities = 1u << 16;

struct NodeDeleter {
    void operator()(void* node) const {
        if (node) plist_free(static_cast<plist_t>(node));
    }
};
using Node = std::unique_ptr<void, NodeDeleter>;

PlistValue convert(plist_t node, int depth) {
    if (depth > kMaxDepth) throw PlistError("property list nested too deeply");
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t v = 0;
            plist_get_bool_val(node, &v);
            return PlistValue(PlistValue::Storage(v != 0));
        }
        case PLIST_UINT: {
            uint64_t v = 0;
            plist_get_uint_val(node, &v);
            return PlistValue(PlistValue::Storage(v));
        }
        case PLIST_REAL: {
            double v = 0;
            plist_get_real_val(node, &v);
            return PlistValue(PlistValue::Storage(v));
        }
        case PLIST_STRING: {
            // By pointer and length: libplist's copying reader aborts on an inner NUL.
            uint64_t length = 0;
            const char* s = plist_get_string_ptr(node, &length);
            std::string_view v = s ? std::string_view(s, length) : std::string_view();
            if (v.find('\0') != std::string_view::npos)
                throw PlistError(plistinput::kNulInText);
            return PlistValue(PlistValue::Storage(unicode::toValidUtf8(v)));
        }
        case PLIST_DATE: {
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return PlistValue(PlistValue::Storage(PlistValue::Date{sec + usec / 1e6 + kEpochOffset}));
        }
        case PLIST_DATA: {
            char* d = nullptr;
            uint64_t len = 0;
            plist_get_data_val(node, &d, &len);
            std::string bytes = d ? std::string(d, len) : std::string();
            free(d);
            return PlistValue(PlistValue::Storage(PlistValue::Data{std::move(bytes)}));
        }
        case PLIST_ARRAY: {
            PlistValue::Array out;
            uint32_t n = plist_array_get_size(node);
            out.reserve(n);
            for (uint32_t i = 0; i < n; ++i) {
                plist_t item = plist_array_get_item(node, i);
                if (item) out.push_back(convert(item, depth + 1));
            }
            return PlistValue(PlistValue::Storage(std::move(out)));
        }
        case PLIST_DICT: {
            PlistValue::Dictionary out;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            if (!it) return PlistValue(PlistValue::Storage(std::move(out)));
            // Freed also when a member deeper down throws.
            std::unique_ptr<void, decltype(&free)> iterOwner(it, &free);
            while (true) {
                char* key = nullptr;
                plist_t val = nullptr;
                plist_dict_next_item(node, it, &key, &val);
                if (!val) {
                    free(key);
                    break;
                }
                std::string k = unicode::toValidUtf8(key ? key : "");
                free(key);
                out.emplace(std::move(k), convert(val, depth + 1));  // first of duplicate keys wins
            }
            return PlistValue(PlistValue::Storage(std::move(out)));
        }
        default:
            return PlistValue();
    }
}

// libplist frees containers recursively, and parses binary documents recursively too, so a
// deeply nested document (a few hundred kilobytes suffice) would overflow the stack.

// The nesting of a parsed tree, measured without recursion.
size_t treeDepth(plist_t root) {
    struct Frame {
        plist_t node;
        uint32_t next = 0;
        plist_dict_iter iter = nullptr;
    };
    std::vector<Frame> path{Frame{root}};
    size_t deepest = 1;
    while (!path.empty()) {
        Frame& f = path.back();
        plist_t child = nullptr;
        plist_type type = plist_get_node_type(f.node);
        if (type == PLIST_ARRAY) {
            if (f.next < plist_array_get_size(f.node)) child = plist_array_get_item(f.node, f.next++);
        } else if (type == PLIST_DICT) {
            if (!f.iter) plist_dict_new_iter(f.node, &f.iter);
            if (f.iter) {
                char* key = nullptr;
                plist_dict_next_item(f.node, f.iter, &key, &child);
                free(key);
            }
        }
        if (!child) {
            free(f.iter);
            path.pop_back();
            continue;
        }
        path.push_back(Frame{child});
        deepest = std::max(deepest, path.size());
    }
    return deepest;
}

// Frees a tree that may be nested far deeper than the stack allows, on a thread whose stack
// fits it. Should no such thread be had, the tree is leaked rather than the process lost.
void freeDeepTree(plist_t root) {
    constexpr size_t bytesPerLevel = 512; // several times the recursion's need, sanitizers included
    size_t depth = treeDepth(root);
    if (depth <= 4096) {
        plist_free(root);
        return;
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return;
    pthread_t thread;
    bool started = pthread_attr_setstacksize(&attr, depth * bytesPerLevel + (1u << 20)) == 0 &&
                   pthread_create(
                       &thread, &attr,
                       [](void* node) -> void* {
                           plist_free(static_cast<plist_t>(node));
                           return nullptr;
                       },
                       root) == 0;
    pthread_attr_destroy(&attr);
    if (started) pthread_join(thread, nullptr);
}

plist_t build(const PlistValue& v) {
    return std::visit(
        [](const auto& x) -> plist_t {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return plist_new_string("");
            } else if constexpr (std::is_same_v<T, bool>) {
                return plist_new_bool(x ? 1 : 0);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return plist_new_uint(static_cast<uint64_t>(x));
            } else if constexpr (std::is_same_v<T, std::uint64_t>) {
                return plist_new_uint(x);
            } else if constexpr (std::is_same_v<T, double>) {
                return plist_new_real(x);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return plist_new_string(x.c_str());
            } else if constexpr (std::is_same_v<T, PlistValue::Date>) {
                double rel = x.secondsSince1970 - kEpochOffset;
                auto sec = static_cast<int32_t>(rel);
                return plist_new_date(sec, static_cast<int32_t>((rel - sec) * 1e6));
            } else if constexpr (std::is_same_v<T, PlistValue::Data>) {
                return plist_new_data(x.bytes.data(), x.bytes.size());
            } else if constexpr (std::is_same_v<T, PlistValue::Array>) {
                plist_t a = plist_new_array();
                for (const auto& item : x) plist_array_append_item(a, build(item));
                return a;
            } else {
                plist_t d = plist_new_dict();
                for (const auto& [k, item] : x) plist_dict_set_item(d, k.c_str(), build(item));
                return d;
            }
        },
        v.storage());
}

}  // namespace

PlistValue PlistValue::parse(const std::string& bytes) {
    if (bytes.empty()) throw PlistError("property list is empty");
    if (bytes.size() > kMaxPlistBytes) throw PlistError("property list too large");
    plist_t root = nullptr;
    auto len = static_cast<uint32_t>(bytes.size());
    if (plist_is_binary(bytes.data(), len)) {
        plistinput::checkBinaryShape(bytes, kMaxDepth + 1, kMaxBinaryNodes);
        plist_from_bin(bytes.data(), len, &root);
    } else {
        const std::string xml = plistinput::xmlAsUtf8(bytes);
        if (xml.size() > kMaxPlistBytes ||
            static_cast<size_t>(std::count(xml.begin(), xml.end(), '<')) > kMaxXmlMarkup ||
            static_cast<size_t>(std::count(xml.begin(), xml.end(), '&')) > kMaxXmlEntities)
            throw PlistError("property list too large");
        // The plist element and a leaf text come on top of the containers' own nesting.
        plistinput::checkXmlShape(xml, kMaxDepth + 3);
        plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    }
    if (!root) throw PlistError("property list could not be parsed");
    Node owner(root);
    try {
        return convert(root, 0);
    } catch (const PlistError&) {
        // Nested too deeply: too deep, maybe, for plist_free as well.
        freeDeepTree(static_cast<plist_t>(owner.release()));
        throw;
    }
}

PlistValue PlistValue::readFile(const std::string& path) {
    // Plain reads, so that every failure (a folder in the file's place included) surfaces with
    // its own errno rather than as an empty property list. Not blocking: a pipe in the file's
    // place must not hang the caller.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
    struct stat st {};
    int refused = 0;
    if (::fstat(fd, &st) != 0) {
        refused = errno;
    } else if (S_ISDIR(st.st_mode)) {
        refused = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
        refused = EINVAL;
    }
    if (refused != 0) {
        ::close(fd);
        throw std::system_error(refused, std::generic_category(), path);
    }
    std::string bytes;
    char buffer[64 * 1024];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            throw std::system_error(e, std::generic_category(), path);
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
        if (bytes.size() > kMaxPlistBytes) break; // parse refuses it
    }
    ::close(fd);
    return parse(bytes);
}

std::optional<bool> PlistValue::boolean() const {
    if (auto* b = std::get_if<bool>(&value_)) return *b;
    return std::nullopt;
}

std::optional<std::int64_t> PlistValue::integer() const {
    if (auto* i = std::get_if<std::int64_t>(&value_)) return *i;
    if (auto* u = std::get_if<std::uint64_t>(&value_)) {
        if (*u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(*u);
    }
    return std::nullopt;
}

const PlistValue* PlistValue::find(const std::string& key) const {
    const auto* d = dictionary();
    if (!d) return nullptr;
    auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

std::optional<std::string> PlistValue::stringForKey(const std::string& key) const {
    const PlistValue* v = find(key);
    if (!v || !v->string()) return std::nullopt;
    return *v->string();
}

std::string PlistValue::toXml() const {
    Node root(build(*this));
    char* out = nullptr;
    uint32_t len = 0;
    plist_to_xml(static_cast<plist_t>(root.get()), &out, &len);
    std::string s = out ? std::string(out, len) : std::string();
    plist_to_xml_free(out);
    return s;
}

std::string PlistValue::toBinary() const {
    Node root(build(*this));
    char* out = nullptr;
    uint32_t len = 0;
    plist_to_bin(static_cast<plist_t>(root.get()), &out, &len);
    std::string s = out ? std::string(out, len) : std::string();
    plist_to_bin_free(out);
    return s;
}

}  // namespace platform
