#include "Support/FakeBundleTools.hpp"

#include <fmt/format.h>

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

// Prints the text value of key KEY in an XML property list read on standard input (entities
// decoded), nothing when there is none.
constexpr std::string_view kPlistText = R"AWK(
{ text = text $0 "\n" }
END {
    key = "<key>" KEY "</key>"
    at = index(text, key)
    if (!at) exit
    rest = substr(text, at + length(key))
    from = index(rest, "<string>")
    if (!from || substr(rest, 1, from - 1) ~ /[^ \t\r\n]/) exit
    rest = substr(rest, from + length("<string>"))
    to = index(rest, "</string>")
    if (!to) exit
    v = substr(rest, 1, to - 1)
    gsub(/&lt;/, "<", v); gsub(/&gt;/, ">", v); gsub(/&quot;/, "\"", v); gsub(/&apos;/, "'", v)
    gsub(/&amp;/, "\\&", v)
    printf "%s", v
}
)AWK";

// sh code that sets pel_b to the bundle (the last argument), pel_exe to its main executable's name
// and pel_id to its signing identifier.
std::string bundleNames() {
    return fmt::format(R"SH(for pel_b in "$@"; do :; done
pel_plist_text() {{
  [ -f "$pel_b/Contents/Info.plist" ] || return 0
  LC_ALL=C {awk} -v KEY="$1" {program} < "$pel_b/Contents/Info.plist"
}}
pel_exe=$(pel_plist_text CFBundleExecutable)
pel_id=$(pel_plist_text CFBundleIdentifier)
if [ -z "$pel_exe" ]; then pel_exe=${{pel_b##*/}}; pel_exe=${{pel_exe%.app}}; fi
[ -n "$pel_id" ] || pel_id=$pel_exe
)SH",
                       fmt::arg("awk", FakeTools::quotedRealTool("awk")),
                       fmt::arg("program", shQuote(kPlistText)));
}

} // namespace

FakeBundleTools::FakeBundleTools(FakeTools& tools)
    : tools_(tools), codesignDefault_(codesignDisplayReply(std::string(defaultTeamID))) {
    installCodesign();
}

FakeReply FakeBundleTools::codesignDisplayReply(const std::optional<std::string>& teamID,
                                                const std::optional<std::string>& identifier,
                                                const std::optional<std::string>& teamLine) {
    const std::string teamIdentifier = teamLine.value_or("TeamIdentifier=" + teamID.value_or("not set"));
    std::string lines = "Format=app bundle with Mach-O universal (x86_64 arm64)\n";
    if (teamID) {
        lines +=
            "CodeDirectory v=20500 size=1234 flags=0x10000(runtime) hashes=27+7 location=embedded\n"
            "VersionPlatform=1\n"
            "VersionMin=786432\n"
            "VersionSDK=917504\n"
            "Hash type=sha256 size=32\n"
            "CandidateCDHash sha256=3f1c0e1a9d7b52e4c6a8f0b1d2e3f4a5b6c7d8e9\n"
            "CandidateCDHashFull sha256=3f1c0e1a9d7b52e4c6a8f0b1d2e3f4a5b6c7d8e9f0a1b2c3d4e5f6a7b8c9d0e1\n"
            "Hash choices=sha256\n"
            "CMSDigest=3f1c0e1a9d7b52e4c6a8f0b1d2e3f4a5b6c7d8e9f0a1b2c3d4e5f6a7b8c9d0e1\n"
            "CMSDigestType=2\n"
            "Executable Segment base=0\n"
            "Executable Segment limit=32768\n"
            "Executable Segment flags=0x1\n"
            "Page size=4096\n"
            "CDHash=3f1c0e1a9d7b52e4c6a8f0b1d2e3f4a5b6c7d8e9\n"
            "Signature size=8987\n"
            "Authority=Developer ID Application: Example Ltd (" +
            *teamID +
            ")\n"
            "Authority=Developer ID Certification Authority\n"
            "Authority=Apple Root CA\n"
            "Timestamp=2 May 2024 at 09:41:07\n"
            "Notarization Ticket=stapled\n"
            "Info.plist entries=24\n" +
            teamIdentifier +
            "\n"
            "Runtime Version=14.0.0\n"
            "Sealed Resources version=2 rules=13 files=42\n"
            "Internal requirements count=1 size=212\n";
    } else {
        lines +=
            "CodeDirectory v=20400 size=1234 flags=0x20002(adhoc,linker-signed) hashes=27+7 "
            "location=embedded\n"
            "Hash type=sha256 size=32\n"
            "CandidateCDHash sha256=9e0d4c2b7a6f5e4d3c2b1a0f9e8d7c6b5a4f3e2d\n"
            "CandidateCDHashFull sha256=9e0d4c2b7a6f5e4d3c2b1a0f9e8d7c6b5a4f3e2d1c0b9a8f7e6d5c4b3a2f1e0d\n"
            "Hash choices=sha256\n"
            "CMSDigest=9e0d4c2b7a6f5e4d3c2b1a0f9e8d7c6b5a4f3e2d1c0b9a8f7e6d5c4b3a2f1e0d\n"
            "CMSDigestType=2\n"
            "CDHash=9e0d4c2b7a6f5e4d3c2b1a0f9e8d7c6b5a4f3e2d\n"
            "Signature=adhoc\n"
            "Info.plist entries=24\n" +
            teamIdentifier +
            "\n"
            "Sealed Resources version=2 rules=13 files=42\n"
            "Internal requirements count=0 size=12\n";
    }
    FakeReply reply;
    reply.shell = bundleNames();
    if (identifier) reply.shell += "pel_id=" + shQuote(*identifier) + "\n";
    reply.shell += "printf 'Executable=%s/Contents/MacOS/%s\\nIdentifier=%s\\n' \"$pel_b\" \"$pel_exe\" "
                   "\"$pel_id\" >&2\n"
                   "printf '%s' " +
                   shQuote(lines) + " >&2\n";
    return reply;
}

FakeReply FakeBundleTools::codesignNotSignedReply() {
    FakeReply reply;
    reply.shell = "for pel_b in \"$@\"; do :; done\n"
                  "printf '%s: code object is not signed at all\\n' \"$pel_b\" >&2\n"
                  "exit 1\n";
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
