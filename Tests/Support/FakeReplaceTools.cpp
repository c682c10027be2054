#include "Support/FakeReplaceTools.hpp"

#include "Platform/Sha256.hpp"
#include "Support/TempDir.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace pelsupport {
namespace fs = std::filesystem;

namespace {

std::string real(std::string_view name) { return FakeTools::quotedRealTool(name); }

fs::path commentsDir(const FakeTools& tools) {
    return fs::path(tools.stateDir()) / "finder-comments";
}

// Comments are filed by the SHA-256 of the path's bytes, which sh computes the same way.
fs::path commentFile(const FakeTools& tools, const std::string& path) {
    return commentsDir(tools) / platform::sha256Hex(path);
}

// Decodes a Finder-form script into the files named by PEL_OSA_PATH_FILE and PEL_OSA_COMMENT_FILE.
// Exits 3 for a script of another form, 2 (reason on standard error) for a malformed one.
constexpr std::string_view kFinderDecoder = R"AWK(
function refuse(why) { printf "%s", why > "/dev/stderr"; exit 2 }
function literal(    c, d, out) {
    out = ""
    while (i <= n) {
        c = substr(s, i, 1)
        if (c == "\"") { i++; return out }
        if (c == "\\") {
            d = substr(s, i + 1, 1)
            if (d == "\"" || d == "\\") out = out d
            else if (d == "n") out = out "\n"
            else if (d == "r") out = out "\r"
            else if (d == "t") out = out "\t"
            else refuse("Expected \"\"\" but found unknown token.")
            i += 2; continue
        }
        out = out c; i++
    }
    refuse("Expected \"\"\" but found end of script.")
}
BEGIN {
    s = ENVIRON["PEL_OSA_SCRIPT"]; n = length(s)
    pre = "tell application \"Finder\" to set comment of (POSIX file \""
    if (substr(s, 1, length(pre)) != pre) exit 3
    i = length(pre) + 1
    p = literal()
    mid = " as alias) to \""
    if (substr(s, i, length(mid)) != mid) refuse("Expected \")\" but found \"" substr(s, i, 20) "\".")
    i += length(mid)
    c = literal()
    if (i <= n) refuse("Expected end of line, etc. but found \"" substr(s, i, 20) "\".")
    printf "%s", p > ENVIRON["PEL_OSA_PATH_FILE"]
    printf "%s", c > ENVIRON["PEL_OSA_COMMENT_FILE"]
}
)AWK";

std::string finderPrelude() {
    return fmt::format(
        R"SH(pel_fs=; pel_fprev=
for pel_a in "$@"; do [ "$pel_fprev" = -e ] && pel_fs=$pel_a; pel_fprev=$pel_a; done
case "$pel_fs" in
'tell application "Finder"'*)
  pel_fc="$PEL_FAKE_STATE/finder-write.$PEL_FAKE_CALL"
  PEL_OSA_SCRIPT=$pel_fs PEL_OSA_PATH_FILE="$pel_fc.path.part" PEL_OSA_COMMENT_FILE="$pel_fc.comment" \
    LC_ALL=C {awk} {program} 2> "$pel_fc.why"
  if [ $? -ne 0 ]; then
    printf '0:%s: syntax error: %s (-2740)\n' "${{#pel_fs}}" "$({cat} "$pel_fc.why")" >&2
    {rm} -f -- "$pel_fc.path.part" "$pel_fc.comment"
    exit 1
  fi
  pel_fp=$({cat} "$pel_fc.path.part"; printf x); pel_fp=${{pel_fp%x}}
  if [ ! -e "$pel_fp" ]; then
    printf '%s\n' "0:99: execution error: Finder got an error: File $pel_fp wasn't found. (-43)" >&2
    {rm} -f -- "$pel_fc.path.part" "$pel_fc.comment"
    exit 1
  fi
  pel_key=$({sha} < "$pel_fc.path.part" | {cut} -c1-64)
  {mkdir} -p -- "$PEL_FAKE_STATE/finder-comments"
  {cp} -- "$pel_fc.comment" "$PEL_FAKE_STATE/finder-comments/$pel_key"
  {mv} -- "$pel_fc.path.part" "$pel_fc.path"
  exit 0
  ;;
esac
)SH",
        fmt::arg("awk", real("awk")), fmt::arg("program", shQuote(kFinderDecoder)),
        fmt::arg("cat", real("cat")), fmt::arg("rm", real("rm")), fmt::arg("sha", real("sha256sum")),
        fmt::arg("cut", real("cut")), fmt::arg("mkdir", real("mkdir")), fmt::arg("cp", real("cp")),
        fmt::arg("mv", real("mv")));
}

} // namespace

void installFakeXattr(FakeTools& tools) {
    tools.install("xattr", FakeReply());
}

void installFakeMdls(FakeTools& tools) {
    tools.installScript("mdls", fmt::format(R"SH(pel_p=
for pel_a in "$@"; do pel_p=$pel_a; done
pel_key=$(printf '%s' "$pel_p" | {sha} | {cut} -c1-64)
pel_f="$PEL_FAKE_STATE/finder-comments/$pel_key"
if [ -f "$pel_f" ]; then {cat} -- "$pel_f"; else printf '(null)'; fi
)SH",
                                            fmt::arg("sha", real("sha256sum")), fmt::arg("cut", real("cut")),
                                            fmt::arg("cat", real("cat"))));
}

void setFinderComment(const FakeTools& tools, const std::string& path, const std::string& comment) {
    fs::create_directories(commentsDir(tools));
    std::ofstream out(commentFile(tools, path), std::ios::binary | std::ios::trunc);
    out << comment;
}

std::optional<std::string> finderComment(const FakeTools& tools, const std::string& path) {
    std::error_code ec;
    if (!fs::is_regular_file(commentFile(tools, path), ec)) return std::nullopt;
    return readText(commentFile(tools, path));
}

void installReplaceOsascript(FakeTools& tools, const OsascriptOptions& options) {
    tools.installScript("osascript", finderPrelude() + decodingOsascriptBody(tools, options));
}

std::vector<std::pair<std::string, std::string>> finderCommentWrites(const FakeTools& tools) {
    const std::string prefix = "finder-write.";
    const std::string suffix = ".path";
    std::vector<std::pair<int, std::pair<std::string, std::string>>> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(tools.stateDir(), ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(prefix) || !name.ends_with(suffix)) continue;
        const char* begin = name.data() + prefix.size();
        const char* end = name.data() + name.size() - suffix.size();
        int call = 0;
        auto [ptr, err] = std::from_chars(begin, end, call);
        if (err != std::errc() || ptr != end) continue;
        const fs::path commentPath =
            entry.path().parent_path() / fmt::format("finder-write.{}.comment", call);
        found.push_back({call, {readText(entry.path()), readText(commentPath)}});
    }
    std::sort(found.begin(), found.end());
    std::vector<std::pair<std::string, std::string>> out;
    for (auto& [call, write] : found)
        out.push_back(std::move(write));
    return out;
}

FakeRule codesignVerifyRule(FakeReply reply) {
    const std::string note = "pel_b=; for pel_a in \"$@\"; do pel_b=$pel_a; done\n"
                             "if [ -e \"$pel_b.backup\" ]; then echo present; else echo absent; fi "
                             ">> \"$PEL_FAKE_STATE/verify-swap-backup\"\n";
    reply.shell = note + reply.shell;
    return FakeRule().whenArgsInclude({"--verify"}).then(std::move(reply));
}

void installVerifyingCodesign(FakeTools& tools, FakeReply reply) {
    tools.installScenario("codesign",
                          FakeScenario().when(codesignVerifyRule(std::move(reply))).otherwise(FakeReply()));
}

std::vector<bool> swapBackupSeenDuringVerify(const FakeTools& tools) {
    std::vector<bool> seen;
    std::ifstream in(tools.stateDir() + "verify-swap-backup");
    std::string line;
    while (std::getline(in, line))
        seen.push_back(line == "present");
    return seen;
}

} // namespace pelsupport
