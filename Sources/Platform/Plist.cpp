#include "Platform/Plist.hpp"

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
        case PLIST_STRING:
        case PLIST_KEY: {
            char* s = nullptr;
            plist_get_string_val(node, &s);
            std::string v = s ? s : "";
            free(s);
            return PlistValue(PlistValue::Storage(std::move(v)));
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
                std::string k = key ? key : "";
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

// Binary: the containers reachable from the top object, walked with an explicit stack, each
// object measured once. The parser copies a shared object for every reference to it, so a small
// document of shared references unfolds into an exponential tree: the unfolded size is bounded
// too. A structure that cannot be walked is refused here, not left to the parser.
void checkBinaryShape(std::string_view s, int maxDepth, std::uint32_t maxNodes) {
    const PlistError malformed("property list could not be parsed");
    const PlistError tooDeep("property list nested too deeply or too large");
    if (s.size() < 8 + 32) throw malformed;
    auto readBE = [&](size_t at, size_t n, std::uint64_t& out) {
        if (n == 0 || n > 8 || at > s.size() || s.size() - at < n) return false;
        out = 0;
        for (size_t k = 0; k < n; ++k)
            out = (out << 8) | static_cast<unsigned char>(s[at + k]);
        return true;
    };
    const size_t trailer = s.size() - 32;
    const size_t offsetSize = static_cast<unsigned char>(s[trailer + 6]);
    const size_t refSize = static_cast<unsigned char>(s[trailer + 7]);
    std::uint64_t count = 0, top = 0, table = 0;
    readBE(trailer + 8, 8, count);
    readBE(trailer + 16, 8, top);
    readBE(trailer + 24, 8, table);
    if (offsetSize == 0 || offsetSize > 8 || refSize == 0 || refSize > 8 || top >= count || table > trailer ||
        count > (trailer - table) / offsetSize)
        throw malformed;
    if (count > maxNodes) throw tooDeep;

    // The references of a container object, or none for anything else.
    struct Refs {
        size_t first = 0;
        std::uint64_t n = 0;
    };
    auto refsOf = [&](std::uint64_t object) -> Refs {
        std::uint64_t offset = 0;
        readBE(table + object * offsetSize, offsetSize, offset);
        if (offset >= trailer) throw malformed;
        auto marker = static_cast<unsigned char>(s[offset]);
        unsigned kind = marker >> 4;
        if (kind != 0xA && kind != 0xC && kind != 0xD) return {};
        std::uint64_t n = marker & 0x0F;
        size_t at = offset + 1;
        if (n == 0x0F) {
            if (at >= trailer) throw malformed;
            auto intMarker = static_cast<unsigned char>(s[at]);
            if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) throw malformed;
            size_t bytes = size_t{1} << (intMarker & 0x0F);
            if (!readBE(at + 1, bytes, n)) throw malformed;
            at += 1 + bytes;
        }
        if (kind == 0xD) {
            if (n > std::numeric_limits<std::uint64_t>::max() / 2) throw malformed;
            n *= 2; // keys, then values
        }
        if (at > trailer || n > (trailer - at) / refSize) throw malformed;
        return Refs{at, n};
    };

    // Per object: 0 unseen, 1 on the current path, else 2 + its height; and its unfolded size.
    std::vector<std::uint16_t> state(count, 0);
    std::vector<std::uint32_t> nodes(count, 0);
    struct Frame {
        std::uint64_t object;
        Refs refs;
        std::uint64_t next = 0;
        int height = 1;
        std::uint64_t nodes = 1;
    };
    std::vector<Frame> path;
    path.push_back(Frame{top, refsOf(top)});
    state[top] = 1;
    while (!path.empty()) {
        Frame& f = path.back();
        if (f.next == f.refs.n) {
            const int height = f.height;
            const std::uint64_t size = f.nodes;
            state[f.object] = static_cast<std::uint16_t>(2 + height);
            nodes[f.object] = static_cast<std::uint32_t>(size);
            path.pop_back();
            if (path.empty()) break;
            Frame& parent = path.back();
            parent.height = std::max(parent.height, height + 1);
            parent.nodes += size;
            if (parent.nodes > maxNodes) throw tooDeep;
            continue;
        }
        std::uint64_t child = 0;
        readBE(f.refs.first + f.next * refSize, refSize, child);
        ++f.next;
        if (child >= count) continue;
        if (state[child] == 1) throw tooDeep; // a cycle nests without end
        if (state[child] >= 2) {
            f.height = std::max(f.height, state[child] - 2 + 1);
            f.nodes += nodes[child];
            if (static_cast<int>(path.size()) - 1 + f.height > maxDepth || f.nodes > maxNodes) throw tooDeep;
            continue;
        }
        if (static_cast<int>(path.size()) + 1 > maxDepth) throw tooDeep;
        state[child] = 1;
        path.push_back(Frame{child, refsOf(child)});
    }
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
        checkBinaryShape(bytes, kMaxDepth + 1, kMaxBinaryNodes);
        plist_from_bin(bytes.data(), len, &root);
    } else {
        if (static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '<')) > kMaxXmlMarkup ||
            static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '&')) > kMaxXmlEntities)
            throw PlistError("property list too large");
        plist_from_xml(bytes.data(), len, &root);
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
