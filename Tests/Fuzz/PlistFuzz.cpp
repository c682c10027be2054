// The property-list reader: any bytes give a value or a PlistError, and every text read is UTF-8.

#include "FuzzSupport.hpp"
#include "Platform/Plist.hpp"
#include "Platform/Unicode.hpp"

#include <vector>

namespace {

void requireWellFormedTexts(const platform::PlistValue& root) {
    std::vector<const platform::PlistValue*> pending{&root};
    while (!pending.empty()) {
        const platform::PlistValue* v = pending.back();
        pending.pop_back();
        if (const auto* s = v->string()) pelfuzz::require(platform::unicode::toValidUtf8(*s) == *s);
        if (const auto* a = v->array())
            for (const auto& item : *a)
                pending.push_back(&item);
        if (const auto* d = v->dictionary()) {
            for (const auto& [key, item] : *d) {
                pelfuzz::require(platform::unicode::toValidUtf8(key) == key);
                pending.push_back(&item);
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        requireWellFormedTexts(platform::PlistValue::parse(pelfuzz::textOf(data, size)));
    } catch (const platform::PlistError&) {
    }
    return 0;
}
