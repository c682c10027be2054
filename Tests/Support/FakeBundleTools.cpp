#include "Support/FakeBundleTools.hpp"

#include <algorithm>

namespace pelsupport {
namespace {

void upsert(std::vector<std::pair<std::string, FakeReply>>& list, const std::string& key, FakeReply reply) {
    auto it = std::find_if(list.begin(), list.end(), [&](const auto& p) { return p.first == key; });
    if (it != list.end()) {
        it->second = std::move(reply);
    } else {
        list.emplace_back(key, std::move(reply));
    }
}

} // namespace

FakeBundleTools::FakeBundleTools(FakeTools& tools)
    : tools_(tools), codesignDefault_(codesignDisplayReply(std::string(defaultTeamID))) {
    installCodesign();
}

FakeReply FakeBundleTools::codesignDisplayReply(const std::optional<std::string>& teamID) {
    FakeReply reply;
    reply.err = "Format=app bundle with Mach-O universal (x86_64 arm64)\n"
                "CodeDirectory v=20500 size=1234 flags=0x10000(runtime) hashes=27+7 location=embedded\n"
                "Signature size=8987\n";
    if (teamID) reply.err += "Authority=Developer ID Application: Example (" + *teamID + ")\n";
    reply.err += "TeamIdentifier=" + teamID.value_or("not set") + "\n";
    return reply;
}

FakeBundleTools& FakeBundleTools::teamID(const std::string& bundlePath,
                                         const std::optional<std::string>& teamID) {
    return codesignDisplay(bundlePath, codesignDisplayReply(teamID));
}

FakeBundleTools& FakeBundleTools::codesignDisplay(const std::string& bundlePath, FakeReply reply) {
    upsert(codesignByBundle_, bundlePath, std::move(reply));
    installCodesign();
    return *this;
}

FakeBundleTools& FakeBundleTools::defaultCodesign(FakeReply reply) {
    codesignDefault_ = std::move(reply);
    installCodesign();
    return *this;
}

FakeBundleTools& FakeBundleTools::codesignRule(FakeRule rule) {
    codesignExtra_.push_back(std::move(rule));
    installCodesign();
    return *this;
}

void FakeBundleTools::removeCodesign() {
    tools_.remove("codesign");
}

void FakeBundleTools::installCodesign() {
    FakeScenario scenario;
    scenario.rules = codesignExtra_;
    for (const auto& [bundle, reply] : codesignByBundle_) {
        FakeRule rule;
        rule.argsInclude = {"-dv", bundle};
        rule.reply = reply;
        scenario.rules.push_back(std::move(rule));
    }
    scenario.fallback = codesignDefault_;
    tools_.installScenario("codesign", scenario);
}

} // namespace pelsupport
