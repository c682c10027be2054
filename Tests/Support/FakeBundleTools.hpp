#pragma once

// Fake `codesign -dv` for code that reads application bundles, on top of FakeTools.
//
//     pelsupport::FakeTools tools;
//     pelsupport::FakeBundleTools fakes(tools);      // every bundle: Team ID ABCDE12345
//     fakes.teamID(bundle, "TEAM000001");             // one bundle's Team ID
//     fakes.teamID(other, std::nullopt);              // ad hoc: "TeamIdentifier=not set"
//     fakes.codesignDisplay(third, FakeBundleTools::codesignNotSignedReply());
//     fakes.codesignRule(FakeRule().whenArgsInclude({"--verify"}).then(FakeReply().withStatus(1)));
//     ... run the code under test ...
//     EXPECT_EQ(fakes.toolCalls(), 0);                // nothing ran (an unchanged, cached bundle)
//
// `codesign -dv --verbose=4 <bundle>` answers by the bundle path among its arguments, like the real
// tool, on standard error, every line of the real tool in its order: Executable=<bundle>/Contents/
// MacOS/<CFBundleExecutable>, Identifier=<signing identifier>, Format=, CodeDirectory ..., the hash
// and signature lines, Authority= (signed by a team) or Signature=adhoc, Info.plist entries=,
// TeamIdentifier=, then the sealed-resource and requirement lines. The executable and the identifier
// are read from the bundle's XML Info.plist when the call runs (the executable falls back to the
// bundle's name, the identifier to the executable), so a hostile name reaches the output as it
// would on a Mac. Calls that no per-path setting matches get the default. Every setter reinstalls
// the fake at once (also after a remove); the call log is kept (see FakeTools::clearCalls).
// Settings for many paths make the script longer, so a test with hundreds of bundles should rely
// on the default.

#include "Support/FakeTools.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelsupport {

class FakeBundleTools {
public:
    static constexpr const char* defaultTeamID = "ABCDE12345";

    // Installs codesign into `tools` with the default.
    explicit FakeBundleTools(FakeTools& tools);

    // What `codesign -dv` prints for a bundle signed by this team (nullopt: ad hoc, "not set"). A
    // given `identifier` is printed as the signing identifier, as it stands; a given `teamLine`
    // stands where the tool prints its TeamIdentifier= line (odd forms of that line).
    static FakeReply codesignDisplayReply(const std::optional<std::string>& teamID,
                                          const std::optional<std::string>& identifier = std::nullopt,
                                          const std::optional<std::string>& teamLine = std::nullopt);
    // What `codesign -dv` prints for a bundle without a signature: "<bundle>: code object is not
    // signed at all", exit 1.
    static FakeReply codesignNotSignedReply();

    // codesign -dv for one bundle path, or for every bundle without its own setting.
    FakeBundleTools& teamID(const std::string& bundlePath, const std::optional<std::string>& teamID);
    FakeBundleTools& codesignDisplay(const std::string& bundlePath, FakeReply reply);
    FakeBundleTools& defaultCodesign(FakeReply reply);
    // Any other codesign behaviour (say `--verify`); tried before the per-bundle settings, in order.
    FakeBundleTools& codesignRule(FakeRule rule);

    // Removes the fake from the tool directory, so Proc::which no longer finds it.
    void removeCodesign();

    int codesignCalls() const { return tools_.callCount("codesign"); }
    // Every tool a bundle read may run (codesign only: architectures come from the file itself).
    int toolCalls() const { return codesignCalls(); }

    FakeTools& tools() { return tools_; }

private:
    void installCodesign();

    FakeTools& tools_;
    std::vector<FakeRule> codesignExtra_;
    std::vector<std::pair<std::string, FakeReply>> codesignByBundle_;
    FakeReply codesignDefault_;
};

} // namespace pelsupport
