#include "Support/FakeDiskTools.hpp"

#include <fmt/format.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace pelsupport {
namespace fs = std::filesystem;

namespace {

std::string real(std::string_view name) { return FakeTools::quotedRealTool(name); }

const char* kMountsFile = "\"$PEL_FAKE_STATE/hdiutil-mounts\"";
// One line per image attached and not yet detached: device, mount point, image path (tab-separated).
const char* kImagesFile = "\"$PEL_FAKE_STATE/hdiutil-images\"";

// The plist `hdiutil attach -plist` prints: the whole disk first, then the partition with its volume.
// printf arguments: whole-disk device, partition device, then (only with a mount point) the volume.
std::string plistPrintf(bool withMountPoint) {
    std::string format =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\\n"
        "<plist version=\"1.0\">\\n<dict>\\n\\t<key>system-entities</key>\\n\\t<array>\\n"
        "\\t\\t<dict>\\n"
        "\\t\\t\\t<key>content-hint</key>\\n\\t\\t\\t<string>GUID_partition_scheme</string>\\n"
        "\\t\\t\\t<key>dev-entry</key>\\n\\t\\t\\t<string>%s</string>\\n"
        "\\t\\t\\t<key>potentially-mountable</key>\\n\\t\\t\\t<false/>\\n"
        "\\t\\t\\t<key>unmapped-content-hint</key>\\n\\t\\t\\t<string>GUID_partition_scheme</string>\\n"
        "\\t\\t</dict>\\n"
        "\\t\\t<dict>\\n"
        "\\t\\t\\t<key>content-hint</key>\\n\\t\\t\\t<string>Apple_HFS</string>\\n"
        "\\t\\t\\t<key>dev-entry</key>\\n\\t\\t\\t<string>%s</string>\\n";
    if (withMountPoint) format += "\\t\\t\\t<key>mount-point</key>\\n\\t\\t\\t<string>%s</string>\\n";
    format += "\\t\\t\\t<key>potentially-mountable</key>\\n\\t\\t\\t<true/>\\n"
              "\\t\\t\\t<key>volume-kind</key>\\n\\t\\t\\t<string>hfs</string>\\n"
              "\\t\\t</dict>\\n\\t</array>\\n</dict>\\n</plist>\\n";
    return "printf '" + format + "' \"$dev\" \"${dev}s1\"" + (withMountPoint ? " \"$mnt\"" : "") + "\n";
}

// Waits until Proc stops the call, taking the sleeper down with it.
std::string holdCode() {
    return fmt::format("{sleep} 600 & pel_hold=$!\n"
                       "trap 'kill $pel_hold 2>/dev/null; trap - TERM; kill -TERM $$' TERM\n"
                       "wait $pel_hold\n",
                       fmt::arg("sleep", real("sleep")));
}

// Shows the licence and asks for it to be accepted on standard input, before the image is attached.
std::string licenceCode(const std::string& licence) {
    return "printf '%s' " + shQuote(licence) +
           "\n"
           "printf 'Agree Y/N? '\n"
           "read -r pel_answer || pel_answer=\n"
           "case \"$pel_answer\" in [Yy]*) ;; *) echo 'hdiutil: attach canceled' >&2; exit 1 ;; esac\n";
}

std::string attachCode(const HdiutilOptions& options) {
    switch (options.mode) {
    case HdiutilMode::attachFails:
        return "printf '%s' " + shQuote(options.attachError) + " >&2\nexit 1\n";
    case HdiutilMode::unparsable:
        return "printf '%s\\n' 'hdiutil: attached, but this is no property list <dict>'\n";
    case HdiutilMode::noMountPoint:
        return plistPrintf(false);
    case HdiutilMode::licence: {
        HdiutilOptions agreed = options;
        agreed.mode = HdiutilMode::mount;
        return licenceCode(options.licence) + attachCode(agreed);
    }
    case HdiutilMode::mount:
    case HdiutilMode::attachOutlivesTimeOut:
        break;
    }
    return fmt::format(
        "size=$({wc} -c < \"$img\") || exit 1\n"
        "if [ \"$size\" -le 512 ]; then echo 'hdiutil: attach failed - image not recognized' >&2; exit 1; "
        "fi\n"
        "mnt=$({mktemp} -d \"$root/dmg.XXXXXX\") || exit 1\n"
        "echo \"$mnt\" >> {mounts}\n"
        "printf '%s\\t%s\\t%s\\n' \"$dev\" \"$mnt\" \"$img\" >> {images}\n"
        "if ! {head} -c $((size - 512)) \"$img\" | {tar} -xf - -C \"$mnt\" "
        "2>\"$PEL_FAKE_STATE/attach.$PEL_FAKE_CALL\"; "
        "then {cat} \"$PEL_FAKE_STATE/attach.$PEL_FAKE_CALL\" >&2; {rm} -rf -- \"$mnt\"; exit 1; fi\n"
        "{hold}{plist}",
        fmt::arg("hold", options.mode == HdiutilMode::attachOutlivesTimeOut ? holdCode() : ""),
        fmt::arg("images", kImagesFile), fmt::arg("wc", real("wc")), fmt::arg("mktemp", real("mktemp")),
        fmt::arg("mounts", kMountsFile),
        fmt::arg("head", real("head")), fmt::arg("tar", real("tar")), fmt::arg("cat", real("cat")),
        fmt::arg("rm", real("rm")), fmt::arg("plist", plistPrintf(true)));
}

} // namespace

FakeReply dittoReply() {
    FakeReply reply;
    reply.shell =
        fmt::format("prev=; last=; for a in \"$@\"; do prev=$last; last=$a; done\n"
                    "if [ \"$1\" = \"-x\" ]; then\n"
                    "  {mkdir} -p -- \"$last\" || exit 1\n"
                    // -^: keep control characters in names, as ditto does
                    "  {unzip} -q -o -^ \"$prev\" -d \"$last\" 1>&2 || exit 1\n"
                    "elif [ -d \"$1\" ]; then\n"
                    "  {mkdir} -p -- \"$2\" && {cp} -a -- \"$1/.\" \"$2/\" || exit 1\n"
                    "else\n"
                    "  {mkdir} -p -- \"$({dirname} -- \"$2\")\" && {cp} -a -- \"$1\" \"$2\" || exit 1\n"
                    "fi\n",
                    fmt::arg("mkdir", real("mkdir")), fmt::arg("unzip", real("unzip")),
                    fmt::arg("cp", real("cp")), fmt::arg("dirname", real("dirname")));
    return reply;
}

void installFakeDitto(FakeTools& tools, std::vector<FakeRule> rulesBefore) {
    tools.installScenario("ditto", FakeScenario{std::move(rulesBefore), dittoReply()});
}

std::string fakeDiskDevice(int toolCall) {
    return fmt::format("/dev/disk{}", toolCall + 3);
}

void installFakeHdiutil(FakeTools& tools, const HdiutilOptions& options) {
    FakeReply reply;
    reply.shell = fmt::format(
        "case \"$1\" in\n"
        "attach)\n"
        "  prev=; root=; img=\n"
        "  for a in \"$@\"; do if [ \"$prev\" = \"-mountrandom\" ]; then root=$a; fi; prev=$a; img=$a; done\n"
        "  dev=/dev/disk$((PEL_FAKE_CALL + 3))\n"
        "{attach}"
        "  ;;\n"
        "detach)\n"
        "{detachFailure}"
        "  x=; for a in \"$@\"; do x=$a; done\n"
        "  if [ -d \"$x\" ] && [ -f {mounts} ] && {grep} -qxF -- \"$x\" {mounts}; then {rm} -rf -- \"$x\"; "
        "fi\n"
        "  if [ -f {images} ]; then\n"
        "    while IFS='\t' read -r d m i; do\n"
        "      if [ \"$d\" = \"$x\" ] || [ \"$m\" = \"$x\" ]; then {rm} -rf -- \"$m\"; "
        "else printf '%s\\t%s\\t%s\\n' \"$d\" \"$m\" \"$i\"; fi\n"
        "    done < {images} > {images}.next; {mv} -f {images}.next {images}\n"
        "  fi\n"
        "  ;;\n"
        "info)\n"
        "  printf '<?xml version=\"1.0\" encoding=\"UTF-8\"?>\\n<plist version=\"1.0\">\\n<dict>\\n"
        "<key>images</key>\\n<array>\\n'\n"
        "  if [ -f {images} ]; then\n"
        "    while IFS='\t' read -r d m i; do\n"
        "      printf '<dict><key>image-path</key><string>%s</string><key>system-entities</key><array>"
        "<dict><key>dev-entry</key><string>%s</string></dict><dict><key>dev-entry</key><string>%ss1</string>"
        "<key>mount-point</key><string>%s</string></dict></array></dict>\\n' \"$i\" \"$d\" \"$d\" \"$m\"\n"
        "    done < {images}\n"
        "  fi\n"
        "  printf '</array>\\n</dict>\\n</plist>\\n'\n"
        "  ;;\n"
        "*)\n"
        "  echo \"hdiutil: unknown verb $1\" >&2; exit 1\n"
        "  ;;\n"
        "esac\n",
        fmt::arg("attach", attachCode(options)), fmt::arg("mounts", kMountsFile),
        fmt::arg("images", kImagesFile), fmt::arg("mv", real("mv")),
        fmt::arg("detachFailure",
                 options.detachFails ? "  echo 'hdiutil: detach failed - Resource busy' >&2; exit 16\n" : ""),
        fmt::arg("grep", real("grep")), fmt::arg("rm", real("rm")));
    tools.install("hdiutil", reply);
}

std::vector<std::string> detachedTargets(const FakeTools& tools) {
    std::vector<std::string> targets;
    for (const auto& call : tools.calls("hdiutil")) {
        if (!call.args.empty() && call.args.front() == "detach") targets.push_back(call.args.back());
    }
    return targets;
}

std::vector<std::string> attachedImages(const FakeTools& tools) {
    std::vector<std::string> images;
    std::ifstream file(tools.stateDir() + "hdiutil-images");
    std::string line;
    while (std::getline(file, line)) {
        const auto tab = line.rfind('\t');
        if (tab != std::string::npos) images.push_back(line.substr(tab + 1));
    }
    return images;
}

std::vector<std::string> attachedMountPoints(const FakeTools& tools) {
    std::vector<std::string> mounted;
    std::ifstream file(tools.stateDir() + "hdiutil-mounts");
    std::string line;
    while (std::getline(file, line)) {
        std::error_code ec;
        if (!line.empty() && fs::is_directory(line, ec)) mounted.push_back(line);
    }
    return mounted;
}

} // namespace pelsupport
