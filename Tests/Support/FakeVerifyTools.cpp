#include "Support/FakeVerifyTools.hpp"
#include "Support/TempDir.hpp"

#include "Support/TempDir.hpp"

namespace pelsupport {

void markSignatureRejected(const std::filesystem::path& bundle, const std::string& stderrText) {
    writeText(bundle / kRejectedSignatureMarker, stderrText);
}

void markUnsigned(const std::filesystem::path& bundle) {
    writeText(bundle / kUnsignedMarker, "");
}

void addCodesignVerify(FakeBundleTools& fakes, CodesignVerifyOptions options) {
    const std::string cat = FakeTools::realTool("cat").value_or("cat");
    const std::string marker = shQuote(std::string("/") + kRejectedSignatureMarker);
    const std::string unsignedMarker = shQuote(std::string("/") + kUnsignedMarker);
    FakeRule rule;
    rule.argsInclude = {"--verify"};
    rule.reply.delaySeconds = options.delaySeconds;
    rule.reply.shell =
        "for last in \"$@\"; do :; done\n"
        "if [ -e \"$last\"" +
        marker + " ]; then " + shQuote(cat) + " \"$last\"" + marker +
        " >&2; exit 1; fi\n"
        "if [ -e \"$last\"" +
        unsignedMarker +
        " ]; then printf '%s: code object is not signed at all\\n' \"$last\" >&2; exit 1; fi\n"
        "printf '%s: valid on disk\\n%s: satisfies its Designated Requirement\\n' \"$last\" \"$last\" >&2\n";
    fakes.codesignRule(std::move(rule));
}

void installFakeSpctl(FakeTools& tools, bool accepted, double delaySeconds) {
    FakeReply reply;
    reply.delaySeconds = delaySeconds;
    if (accepted) {
        reply.shell = "for last in \"$@\"; do :; done\n"
                      "printf '%s: accepted\\nsource=Notarized Developer ID\\n' \"$last\" >&2\n";
    } else {
        reply.exitStatus = 3;
        reply.shell = "for last in \"$@\"; do :; done\n"
                      "printf '%s: rejected\\nsource=Unnotarized Developer ID\\n' \"$last\" >&2\n";
    }
    tools.install("spctl", reply);
}

} // namespace pelsupport
