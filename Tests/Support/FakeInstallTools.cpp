#include "Support/FakeInstallTools.hpp"

#include "Support/TempDir.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <stdexcept>

namespace pelsupport {
namespace fs = std::filesystem;

namespace {

std::string real(std::string_view name) { return FakeTools::quotedRealTool(name); }

// Bytes as a header value: see the header's description of the stand-in.
std::string encodeValue(std::string_view bytes) {
    std::string out;
    for (char ch : bytes) {
        auto b = static_cast<unsigned char>(ch);
        bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '.' ||
                     b == '_' || b == '/' || b == ':' || b == '-';
        if (plain)
            out += ch;
        else
            out += fmt::format("\\0{:03o}", b);
    }
    return out;
}

// sh functions the stand-in readers share.
std::string standInReaders() {
    return fmt::format(R"SH(pel_sed={sed}
pel_head={head}
# The decoded value of header line "KEY value" of stand-in FILE.
pel_field() {{
  pel_v=$("$pel_sed" -n -e '/^pel-end$/q' -e "s/^$1 //p" "$2" | "$pel_head" -n 1)
  printf '%b' "$pel_v"
}}
pel_is_stand_in() {{
  [ -f "$1" ] && [ "$("$pel_head" -c 4 "$1")" = 'xar!' ] && [ "$("$pel_sed" -n 2p "$1")" = pel-pkg-stand-in ]
}}
)SH",
                       fmt::arg("sed", real("sed")), fmt::arg("head", real("head")));
}

std::string chainTail() {
    return "       Expires: 2031-02-01 22:12:15 +0000\n"
           "       SHA256 Fingerprint:\n"
           "           7A 4B 1C 52 9E 3D 60 8F 21 0C D4 A7 55 E2 19 B3 6F 0A 88 C1 2D 94\n"
           "           5E 73 B0 16 EA 4C 39 D8 02 F7\n"
           "       ------------------------------------------------------------------------\n"
           "    2. Developer ID Certification Authority\n"
           "       Expires: 2031-09-17 00:00:00 +0000\n"
           "       ------------------------------------------------------------------------\n"
           "    3. Apple Root CA\n"
           "       Expires: 2035-02-09 21:40:36 +0000\n\n";
}

std::string signedHead(std::string_view status) {
    return fmt::format("   Status: {}\n"
                       "   Notarization: trusted by the Apple notary service\n"
                       "   Signed with a trusted timestamp on: 2024-05-02 09:41:07 +0000\n"
                       "   Certificate Chain:\n",
                       status);
}

// Reads the AppleScript after "-e" and prints the shell text it runs, redirects applied. Exits 2 for
// a form it knows with a malformed literal, 3 for a script of no known form.
constexpr std::string_view kOsascriptDecoder = R"AWK(
function refuse(code, why) { printf "%s", why > "/dev/stderr"; exit code }
function redirect(cmd,    lines, nr, k, t, from, to, out, n, i, c, q, atCmd, m, after, hit) {
    nr = split(ENVIRON["PEL_OSA_REDIRECTS"], lines, "\n")
    for (k = 1; k <= nr; k++) {
        t = index(lines[k], "\t")
        from[k] = substr(lines[k], 1, t - 1); to[k] = substr(lines[k], t + 1)
    }
    out = ""; q = 0; atCmd = 1; n = length(cmd); i = 1
    while (i <= n) {
        c = substr(cmd, i, 1)
        if (q == 1) { out = out c; if (c == "'") q = 0; i++; continue }
        if (q == 2) {
            if (c == "\\") { out = out substr(cmd, i, 2); i += 2; continue }
            if (c == "\"") q = 0
            out = out c; i++; continue
        }
        if (atCmd && c != " " && c != "\t") {
            hit = 0
            for (k = 1; k <= nr && !hit; k++) {
                m = length(from[k])
                if (m == 0 || substr(cmd, i, m) != from[k]) continue
                after = substr(cmd, i + m, 1)
                if (after == "" || index(" \t\n;&|)", after) > 0) hit = k
            }
            if (hit) { out = out to[hit]; i += length(from[hit]); atCmd = 0; continue }
        }
        if (c == "\\") { out = out substr(cmd, i, 2); i += 2; atCmd = 0; continue }
        if (c == "'") q = 1
        else if (c == "\"") q = 2
        if (c == ";" || c == "&" || c == "|" || c == "(" || c == "\n") atCmd = 1
        else if (c != " " && c != "\t") atCmd = 0
        out = out c; i++
    }
    return out
}
BEGIN {
    s = ENVIRON["PEL_OSA_SCRIPT"]
    pre = "do shell script \""
    if (substr(s, 1, length(pre)) != pre) refuse(3, "A identifier can't go after this identifier.")
    n = length(s); i = length(pre) + 1; cmd = ""; closed = 0
    while (i <= n) {
        c = substr(s, i, 1)
        if (c == "\"") { closed = 1; i++; break }
        if (c == "\\") {
            d = substr(s, i + 1, 1)
            if (d == "\"" || d == "\\") cmd = cmd d
            else if (d == "n") cmd = cmd "\n"
            else if (d == "r") cmd = cmd "\r"
            else if (d == "t") cmd = cmd "\t"
            else refuse(2, "Expected \"\"\" but found unknown token.")
            i += 2; continue
        }
        cmd = cmd c; i++
    }
    if (!closed) refuse(2, "Expected \"\"\" but found end of script.")
    if (substr(s, i) != " with administrator privileges")
        refuse(2, "Expected end of line, etc. but found \"" substr(s, i, 20) "\".")
    printf "%s", redirect(cmd)
}
)AWK";

std::string osascriptBody(const FakeTools& tools, const OsascriptOptions& options) {
    std::string body = "pel_script=; pel_prev=\n"
                       "for pel_a in \"$@\"; do [ \"$pel_prev\" = -e ] && pel_script=$pel_a; "
                       "pel_prev=$pel_a; done\n";
    switch (options.mode) {
    case OsascriptMode::cancel:
        return body + "printf '%s\\n' 'User canceled. (-128)' >&2\nexit 1\n";
    case OsascriptMode::fail:
        return body +
               fmt::format("printf '%s' {} >&2\nexit {}\n", shQuote(options.failError), options.failStatus);
    case OsascriptMode::run:
        break;
    }
    std::string redirects;
    for (const auto& [from, sibling] : options.redirects)
        redirects += from + "\t" + shQuote(tools.path(sibling)) + "\n";
    body += fmt::format(
        "pel_cmd_file=\"$PEL_FAKE_STATE/osascript-command.$PEL_FAKE_CALL\"\n"
        "pel_why=\"$PEL_FAKE_STATE/osascript-why.$PEL_FAKE_CALL\"\n"
        "PEL_OSA_SCRIPT=$pel_script PEL_OSA_REDIRECTS={redirects} LC_ALL=C {awk} {program} "
        "> \"$pel_cmd_file.part\" 2> \"$pel_why\"\n"
        "pel_rc=$?\n"
        "if [ \"$pel_rc\" -ne 0 ]; then\n"
        "  printf '0:%s: syntax error: %s (-2740)\\n' \"${{#pel_script}}\" \"$({cat} \"$pel_why\")\" >&2\n"
        "  exit 1\n"
        "fi\n"
        "{mv} \"$pel_cmd_file.part\" \"$pel_cmd_file\"\n"
        "pel_cmd=$({cat} \"$pel_cmd_file\"; printf x); pel_cmd=${{pel_cmd%x}}\n"
        "exec /bin/sh -c \"$pel_cmd\"\n",
        fmt::arg("redirects", shQuote(redirects)), fmt::arg("awk", real("awk")),
        fmt::arg("program", shQuote(kOsascriptDecoder)), fmt::arg("cat", real("cat")),
        fmt::arg("mv", real("mv")));
    return body;
}

} // namespace

PkgutilReply pkgutilNumberedChain(const std::string& developer, const std::string& teamID) {
    return pkgutilCertificateLine(fmt::format("    1. Developer ID Installer: {} ({})", developer, teamID));
}

PkgutilReply pkgutilCertificateLine(const std::string& line) {
    PkgutilReply r;
    r.scenario = "certificate-line";
    r.out = signedHead("signed by a developer certificate issued by Apple for distribution") + line + "\n" +
            chainTail();
    return r;
}

PkgutilReply pkgutilStatus(const std::string& status, int exitStatus) {
    PkgutilReply r;
    r.scenario = "status";
    r.status = exitStatus;
    r.out = signedHead(status) + "    1. Developer ID Installer: Example Ltd (ABCDE12345)\n" + chainTail();
    return r;
}

PkgutilReply pkgutilSignedWithoutCertificate() {
    PkgutilReply r;
    r.scenario = "signed-without-certificate";
    r.out = signedHead("signed Apple Software") + "    1. Software Update\n"
                                                  "       Expires: 2026-10-24 17:39:41 +0000\n"
                                                  "    2. Apple Software Update Certification Authority\n"
                                                  "    3. Apple Root CA\n\n";
    return r;
}

PkgutilReply pkgutilNoSignature() {
    PkgutilReply r;
    r.scenario = "no-signature";
    r.status = 1;
    r.out = "   Status: no signature\n";
    return r;
}

fs::path buildPkg(const PkgStandIn& pkg, const fs::path& out) {
    std::string text = "xar!\npel-pkg-stand-in\n";
    auto line = [&](std::string_view key, std::string_view value) {
        text += fmt::format("{} {}\n", key, value);
    };
    line("pkgutil-scenario", encodeValue(pkg.pkgutil.scenario.empty() ? "custom" : pkg.pkgutil.scenario));
    line("pkgutil-status", fmt::to_string(pkg.pkgutil.status));
    line("pkgutil-out", encodeValue(pkg.pkgutil.out));
    line("pkgutil-err", encodeValue(pkg.pkgutil.err));
    line("install-status", fmt::to_string(pkg.install.status));
    line("install-out", encodeValue(pkg.install.out));
    line("install-err", encodeValue(pkg.install.err));
    for (const auto& [file, content] : pkg.install.writes)
        line("install-write", encodeValue(file.string()) + " " + encodeValue(content));
    text += "pel-end\n";

    if (out.has_parent_path()) fs::create_directories(out.parent_path());
    std::ofstream f(out, std::ios::binary | std::ios::trunc);
    f << text;
    f.close();
    if (!f) throw std::runtime_error("cannot write package stand-in " + out.string());
    return out;
}

void installFakePkgutil(FakeTools& tools) {
    tools.installScript("pkgutil", standInReaders() + R"SH(pel_pkg=
for pel_a in "$@"; do pel_pkg=$pel_a; done
if ! has_arg --check-signature "$@"; then echo "fake pkgutil: only --check-signature" >&2; exit 2; fi
if [ ! -e "$pel_pkg" ]; then printf 'Error: Could not find package at %s\n' "$pel_pkg" >&2; exit 1; fi
if ! pel_is_stand_in "$pel_pkg"; then
  printf 'Package "%s":\n   Status: no signature\n' "${pel_pkg##*/}"
  exit 1
fi
printf 'Package "%s":\n' "${pel_pkg##*/}"
pel_field pkgutil-out "$pel_pkg"
pel_field pkgutil-err "$pel_pkg" >&2
exit "$(pel_field pkgutil-status "$pel_pkg")"
)SH");
}

void installFakeInstaller(FakeTools& tools) {
    tools.installScript("installer", standInReaders() + fmt::format(R"SH(pel_pkg=; pel_prev=
for pel_a in "$@"; do [ "$pel_prev" = -pkg ] && pel_pkg=$pel_a; pel_prev=$pel_a; done
if ! pel_is_stand_in "$pel_pkg"; then
  printf "installer: Error - the package path specified was invalid: '%s'.\n" "$pel_pkg" >&2
  exit 1
fi
"$pel_sed" -n -e '/^pel-end$/q' -e 's/^install-write //p' "$pel_pkg" | while read -r pel_p pel_c; do
  pel_p=$(printf '%b' "$pel_p")
  {mkdir} -p -- "${{pel_p%/*}}" || exit 1
  printf '%b' "$pel_c" > "$pel_p" || exit 1
done || exit 1
pel_field install-out "$pel_pkg"
pel_field install-err "$pel_pkg" >&2
exit "$(pel_field install-status "$pel_pkg")"
)SH",
                                                                    fmt::arg("mkdir", real("mkdir"))));
}

void installFakeBrew(FakeTools& tools, const FakeReply& reply) {
    tools.install("brew", reply);
}

std::string decodingOsascriptBody(const FakeTools& tools, const OsascriptOptions& options) {
    return osascriptBody(tools, options);
}

void installDecodingOsascript(FakeTools& tools, const OsascriptOptions& options) {
    tools.installScript("osascript", osascriptBody(tools, options));
}

std::vector<std::string> osascriptShellCommands(const FakeTools& tools) {
    const std::string prefix = "osascript-command.";
    std::vector<std::pair<int, std::string>> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(tools.stateDir(), ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(prefix)) continue;
        int call = 0;
        auto [ptr, err] = std::from_chars(name.data() + prefix.size(), name.data() + name.size(), call);
        if (err != std::errc() || ptr != name.data() + name.size()) continue;
        found.emplace_back(call, readText(entry.path()));
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> out;
    for (auto& [call, text] : found)
        out.push_back(std::move(text));
    return out;
}

} // namespace pelsupport
