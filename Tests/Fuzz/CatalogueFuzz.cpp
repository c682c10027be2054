// The cask catalogue: any bytes give a catalogue, a parser error or a PelError, and every cask in
// it answers for its release.

#include "FuzzSupport.hpp"
#include "PelKit/Models.hpp"
#include "PelKit/UpdateSources/HomebrewCatalogue.hpp"

#include <simdjson.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes = pelfuzz::textOf(data, size);
    try {
        auto catalogue = pelkit::HomebrewCatalogue::decode(bytes, "arm64_sonoma");
        catalogue.encodeTokenMap();
        for (const auto& [token, record] : catalogue.casks) {
            try {
                catalogue.release(token);
            } catch (const pelkit::PelError&) {
            }
        }
    } catch (const simdjson::simdjson_error&) {
    } catch (const pelkit::PelError&) {
    }
    return 0;
}
