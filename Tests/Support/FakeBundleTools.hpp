#pragma once

// Fake `lipo` and `codesign` for code that reads application bundles, on top of FakeTools.
//
//     pelsupport::FakeTools tools;
//     pelsupport::FakeBundleTools fakes(tools);      // every bundle: x86_64 arm64, Team ID ABCDE12345
//     fakes.teamID(bundle, "TEAM000001");             // one bundle's Team ID
//     fakes.teamID(other, std::nullopt);              // "TeamIdentifier=not set"
//     fakes.codesignDisplay(third, FakeReply().withStatus(1).withErr("code object is not signed at all\n"));
//     fakes.archs(bundle / "Contents/MacOS/Foo", "arm64");
//     fakes.codesignRule(FakeRule().whenArgsInclude({"--verify"}).then(FakeReply().withStatus(1)));
//     ... run the code under test ...
//     EXPECT_EQ(fakes.toolCalls(), 0);                // nothing ran (an unchanged, cached bundle)
//
// `codesign -dv --verbose=4 <bundle>` answers by the bundle path among its arguments, like the real
// tool, on standard error. `lipo -archs <executable>` answers by the executable path. Calls that no
// per-path setting matches get the defaults. Every setter reinstalls the fake at once (also after
// a remove); the call log is kept (see FakeTools::clearCalls). Settings for many paths make the script
// longer, so a test with hundreds of bundles should rely on the defaults.

#include "Support/FakeTools.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelsupport {

class FakeBundleTools {
public:
    static constexpr const char* defaultTeamID = "ABCDE12345";
    static constexpr const char* defaultArchs = "x86_64 arm64";

    // Installs lipo and codesign into `tools` with the defaults.
    explicit FakeBundleTools(FakeTools& tools);

    // What `codesign -dv` prints for a bundle with this Team ID (nullopt: "not set").
    static FakeReply codesignDisplayReply(const std::optional<std::string>& teamID);
    // What `lipo -archs` prints for these architectures, e.g. "x86_64 arm64".
    static FakeReply lipoArchsReply(const std::string& archs);

    // codesign -dv for one bundle path, or for every bundle without its own setting.
    FakeBundleTools& teamID(const std::string& bundlePath, const std::optional<std::string>& teamID);
    FakeBundleTools& codesignDisplay(const std::string& bundlePath, FakeReply reply);
    FakeBundleTools& defaultCodesign(FakeReply reply);
    // Any other codesign behaviour (say `--verify`); tried before the per-bundle settings, in order.
    FakeBundleTools& codesignRule(FakeRule rule);

    // lipo -archs for one executable path, or for every executable without its own setting.
    FakeBundleTools& archs(const std::string& executablePath, const std::string& archs);
    FakeBundleTools& lipoReply(const std::string& executablePath, FakeReply reply);
    FakeBundleTools& defaultLipo(FakeReply reply);

    // Removes a fake from the tool directory, so Proc::which no longer finds it.
    void removeCodesign();
    void removeLipo();

    int codesignCalls() const { return tools_.callCount("codesign"); }
    int lipoCalls() const { return tools_.callCount("lipo"); }
    int toolCalls() const { return codesignCalls() + lipoCalls(); }

    FakeTools& tools() { return tools_; }

private:
    void installCodesign();
    void installLipo();

    FakeTools& tools_;
    std::vector<FakeRule> codesignExtra_;
    std::vector<std::pair<std::string, FakeReply>> codesignByBundle_;
    FakeReply codesignDefault_;
    std::vector<std::pair<std::string, FakeReply>> lipoByExecutable_;
    FakeReply lipoDefault_;
};

} // namespace pelsupport
