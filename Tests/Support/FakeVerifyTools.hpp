#pragma once

// Fake `codesign --verify` and `spctl --assess` for code that verifies downloads, on top of
// FakeTools and FakeBundleTools (whose `codesign -dv` answers stay as they are).
//
//     pelsupport::FakeTools tools;
//     pelsupport::FakeBundleTools fakes(tools);
//     pelsupport::addCodesignVerify(fakes);                 // --verify: valid, unless marked
//     pelsupport::markSignatureRejected(bundle, "a sealed resource is missing or invalid\n");
//     pelsupport::installFakeSpctl(tools, /*accepted=*/false);
//
// The rejection marker is a file inside the bundle, so it survives zipping, unpacking and copying
// the bundle; the fake prints its content on standard error and exits 1.

#include "Support/FakeBundleTools.hpp"
#include "Support/FakeTools.hpp"

#include <filesystem>
#include <string>

namespace pelsupport {

// Relative to the bundle.
inline constexpr const char* kRejectedSignatureMarker = "Contents/_CodeSignature/pel-fake-reject";

inline constexpr const char* kUnsignedMarker = "Contents/_CodeSignature/pel-fake-unsigned";

// Makes the fake `codesign --verify` reject `bundle` with `stderrText`.
void markSignatureRejected(const std::filesystem::path& bundle, const std::string& stderrText);
// Makes the fake `codesign --verify` answer as for a bundle that carries no signature at all.
void markUnsigned(const std::filesystem::path& bundle);

struct CodesignVerifyOptions {
    double delaySeconds = 0; // before answering (for time-outs)
};

// `codesign --verify ... <bundle>`: exit 0, or 1 with the marker's text when the bundle holds one,
// or 1 with "<bundle>: code object is not signed at all" when it is marked unsigned.
void addCodesignVerify(FakeBundleTools& fakes, CodesignVerifyOptions options = {});

// `spctl --assess --type execute --verbose <bundle>`: exit 0 ("accepted") or 3 ("rejected").
void installFakeSpctl(FakeTools& tools, bool accepted = true, double delaySeconds = 0);

} // namespace pelsupport
