// The appcast parser: any bytes give items or a PelError.

#include "FuzzSupport.hpp"
#include "PelKit/Models.hpp"
#include "PelKit/UpdateSources/Sparkle.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto feed = pelkit::Url::parse("https://example.com/updates/appcast.xml");
    try {
        pelkit::SparkleSource::parse(pelfuzz::textOf(data, size), feed);
    } catch (const pelkit::PelError&) {
    }
    return 0;
}
