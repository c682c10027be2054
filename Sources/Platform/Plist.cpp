#include "Platform/Plist.hpp"

#include <plist/plist.h>

#include <cerrno>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

namespace platform {
namespace {

// Seconds between 1970-01-01 and 2001-01-01.
constexpr double kEpochOffset = 978307200.0;
// Nothing we read is this large; refuse before handing it to the parser.
constexpr size_t kMaxPlistBytes = 64u * 1024u * 1024u;
constexpr int kMaxDepth = 256;

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
            free(it);
            return PlistValue(PlistValue::Storage(std::move(out)));
        }
        default:
            return PlistValue();
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
        plist_from_bin(bytes.data(), len, &root);
    } else {
        plist_from_xml(bytes.data(), len, &root);
    }
    if (!root) throw PlistError("property list could not be parsed");
    Node owner(root);
    return convert(root, 0);
}

PlistValue PlistValue::readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::system_error(errno ? errno : ENOENT, std::generic_category(), path);
    std::ostringstream buf;
    buf << in.rdbuf();
    if (in.bad()) throw std::system_error(EIO, std::generic_category(), path);
    return parse(buf.str());
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
