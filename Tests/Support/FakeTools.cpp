#include "Support/FakeTools.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelsupport {

namespace fs = std::filesystem;

namespace {

// The tools every kit links; the rest on demand with linkReal.
constexpr std::string_view kLinkedByDefault[] = {"sh", "tar", "unzip", "zip", "gzip", "bzip2"};

void checkToolName(std::string_view tool) {
    if (tool.empty() || tool.find('/') != std::string_view::npos || tool.front() == '.')
        throw std::invalid_argument(fmt::format("not a tool name: '{}'", tool));
}

// Written with close-on-exec so a tool spawned meanwhile on another thread cannot hold the file
// open for writing (which would make executing it fail with "text file busy").
void writeFile(const std::string& path, std::string_view content, mode_t mode) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            throw std::system_error(e, std::generic_category(), path);
        }
        done += static_cast<std::size_t>(n);
    }
    ::fchmod(fd, mode);
    ::close(fd);
}

std::string requireRealTool(std::string_view tool) {
    auto p = FakeTools::realTool(tool);
    if (!p) throw std::runtime_error(fmt::format("no real '{}' on this machine", tool));
    return *p;
}

std::string conditionOf(const FakeRule& rule) {
    std::vector<std::string> parts;
    if (rule.call) parts.push_back(fmt::format("[ \"$PEL_FAKE_CALL\" -eq {} ]", *rule.call));
    for (const auto& a : rule.argsInclude)
        parts.push_back(fmt::format("has_arg {} \"$@\"", shQuote(a)));
    if (rule.argsAre) {
        parts.push_back(fmt::format("[ $# -eq {} ]", rule.argsAre->size()));
        for (std::size_t i = 0; i < rule.argsAre->size(); ++i)
            parts.push_back(fmt::format("[ \"${{{}}}\" = {} ]", i + 1, shQuote((*rule.argsAre)[i])));
    }
    if (parts.empty()) return ":";
    std::string out;
    for (const auto& p : parts) {
        if (!out.empty()) out += " && ";
        out += p;
    }
    return out;
}

} // namespace

std::string shQuote(std::string_view s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += "'";
    return out;
}

std::optional<std::string> FakeTools::realTool(std::string_view tool) {
    for (const char* dir : {"/usr/bin/", "/bin/"}) {
        std::string p = std::string(dir) + std::string(tool);
        if (::access(p.c_str(), X_OK) == 0) return p;
    }
    return std::nullopt;
}

std::string FakeTools::quotedRealTool(std::string_view tool) {
    auto path = realTool(tool);
    if (!path) throw std::runtime_error("real tool not found: " + std::string(tool));
    return shQuote(*path);
}

FakeTools::FakeTools(bool searchOnlyHere) {
    char tmpl[] = "/tmp/pel-fake-tools-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    root_ = tmpl;
    binDir_ = root_ + "/bin/";
    stateDir_ = root_ + "/state/";
    logDir_ = root_ + "/log";
    dataDir_ = root_ + "/data";
    for (const auto& d : {binDir_, stateDir_, logDir_ + "/calls", logDir_ + "/claims", dataDir_})
        fs::create_directories(d);
    for (auto tool : kLinkedByDefault)
        linkReal(tool);
    if (searchOnlyHere)
        searchGuard_ = std::make_unique<pelkit::testing::ScopedToolDirectories>(std::vector{binDir_});
}

FakeTools::~FakeTools() {
    searchGuard_.reset();
    std::error_code ec;
    fs::remove_all(root_, ec);
}

std::string FakeTools::path(std::string_view tool) const {
    return binDir_ + std::string(tool);
}

bool FakeTools::linkReal(std::string_view tool) {
    checkToolName(tool);
    auto real = realTool(tool);
    if (!real) return false;
    remove(tool);
    fs::create_symlink(*real, path(tool));
    return true;
}

void FakeTools::remove(std::string_view tool) {
    checkToolName(tool);
    std::error_code ec;
    fs::remove(path(tool), ec);
}

void FakeTools::writeScript(std::string_view tool, const std::string& body) {
    checkToolName(tool);
    const std::string name(tool);
    std::string script =
        fmt::format(R"(#!/bin/sh
# fake {0}, written by the test kit
# (no special built-ins such as ":" under a redirection: their redirection errors end sh)
PEL_FAKE_TOOL={1}
PEL_FAKE_DIR={2}
PEL_FAKE_STATE={3}
pel_log={4}
# Claims the lowest free number N of the files "$1N" (set -C makes each claim atomic). The search
# starts after the number in the hint file $2 when that number is claimed, so a call costs the same
# however many came before; a torn or stale hint only costs a few more tries. Every N is claimed
# after N-1, so the numbers run from 1 without gaps.
pel_claim() {{
  pel_n=
  read pel_n < "$2"
  case $pel_n in ''|*[!0-9]*|??????????*) pel_n=0 ;; esac
  if [ "$pel_n" -gt 0 ] && [ ! -e "$1$pel_n" ]; then pel_n=0; fi
  pel_tries=0
  pel_n=$((pel_n + 1))
  while ! true > "$1$pel_n"; do
    pel_n=$((pel_n + 1)); pel_tries=$((pel_tries + 1)); [ "$pel_tries" -gt 100000 ] && break
  done
  printf '%s\n' "$pel_n" 1<> "$2"
}}
{{
  set -C
  pel_claim "$pel_log/claims/$PEL_FAKE_TOOL." "$pel_log/claims/$PEL_FAKE_TOOL.next"
  PEL_FAKE_CALL=$pel_n
  pel_claim "$pel_log/calls/" "$pel_log/calls/next"
  printf '%s\0' "$PEL_FAKE_CALL" "$PEL_FAKE_TOOL" "$@" >| "$pel_log/calls/$pel_n"
  set +C
}} 2>/dev/null
has_arg() {{
  pel_want=$1; shift
  for pel_a in "$@"; do [ "$pel_a" = "$pel_want" ] && return 0; done
  return 1
}}
)",
                    name, shQuote(name), shQuote(binDir_), shQuote(stateDir_), shQuote(logDir_));
    script += body;
    script += "\n";
    // Replaced by rename, so a call already running keeps reading the script it started with.
    const std::string tmp = fmt::format("{}/script.{}", dataDir_, ++dataCounter_);
    writeFile(tmp, script, 0755);
    fs::rename(tmp, path(tool));
}

std::string FakeTools::replyCode(std::string_view tool, const FakeReply& reply) {
    (void)tool;
    std::string code;
    if (reply.ignoresSigterm) code += "  trap '' TERM\n";
    if (reply.delaySeconds > 0) {
        const std::string sleep = shQuote(requireRealTool("sleep"));
        const std::string secs = fmt::format("{:.3f}", reply.delaySeconds);
        if (reply.ignoresSigterm) {
            code += fmt::format("  {} {}\n", sleep, secs);
        } else {
            // Takes the sleeper down with it, so a killed fake leaves nothing running.
            code += fmt::format("  {} {} & pel_sleep=$!\n", sleep, secs);
            code += "  trap 'kill $pel_sleep 2>/dev/null; trap - TERM; kill -TERM $$' TERM\n";
            code += "  wait $pel_sleep\n  trap - TERM\n";
        }
    }
    if (!reply.shell.empty()) code += reply.shell + "\n";
    const std::string cat = shQuote(requireRealTool("cat"));
    if (!reply.out.empty()) {
        const std::string file = fmt::format("{}/{}.out", dataDir_, ++dataCounter_);
        writeFile(file, reply.out, 0644);
        code += fmt::format("  {} {}\n", cat, shQuote(file));
    }
    if (!reply.err.empty()) {
        const std::string file = fmt::format("{}/{}.err", dataDir_, ++dataCounter_);
        writeFile(file, reply.err, 0644);
        code += fmt::format("  {} {} >&2\n", cat, shQuote(file));
    }
    if (reply.signal) code += fmt::format("  ulimit -c 0; trap - {0}; kill -{0} $$\n", *reply.signal);
    code += fmt::format("  exit {}\n", reply.exitStatus);
    return code;
}

void FakeTools::install(std::string_view tool, const FakeReply& reply) {
    installScenario(tool, FakeScenario().otherwise(reply));
}

void FakeTools::installScenario(std::string_view tool, const FakeScenario& scenario) {
    checkToolName(tool);
    std::string body;
    for (std::size_t i = 0; i < scenario.rules.size(); ++i)
        body += fmt::format("pel_reply_{}() {{\n{}}}\n", i, replyCode(tool, scenario.rules[i].reply));
    body += fmt::format("pel_reply_otherwise() {{\n{}}}\n", replyCode(tool, scenario.fallback));
    for (std::size_t i = 0; i < scenario.rules.size(); ++i)
        body += fmt::format("{} {}; then pel_reply_{} \"$@\"\n", i == 0 ? "if" : "elif",
                            conditionOf(scenario.rules[i]), i);
    if (scenario.rules.empty())
        body += "pel_reply_otherwise \"$@\"\n";
    else
        body += "else pel_reply_otherwise \"$@\"\nfi\n";
    writeScript(tool, body);
}

void FakeTools::installScript(std::string_view tool, std::string_view shBody) {
    writeScript(tool, std::string(shBody));
}

std::vector<FakeCall> FakeTools::calls() const {
    std::vector<FakeCall> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(logDir_ + "/calls", ec)) {
        const std::string name = entry.path().filename().string();
        int seq = 0;
        auto [ptr, err] = std::from_chars(name.data(), name.data() + name.size(), seq);
        if (err != std::errc() || ptr != name.data() + name.size()) continue;

        std::ifstream in(entry.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] != '\0') continue;
            fields.emplace_back(bytes, start, i - start);
            start = i + 1;
        }
        if (fields.size() < 2) continue; // a record still being written
        FakeCall call;
        call.sequence = seq;
        call.toolCall = std::atoi(fields[0].c_str());
        call.tool = fields[1];
        call.args.assign(fields.begin() + 2, fields.end());
        out.push_back(std::move(call));
    }
    std::sort(out.begin(), out.end(),
              [](const FakeCall& a, const FakeCall& b) { return a.sequence < b.sequence; });
    return out;
}

std::vector<FakeCall> FakeTools::calls(std::string_view tool) const {
    auto all = calls();
    std::erase_if(all, [&](const FakeCall& c) { return c.tool != tool; });
    return all;
}

int FakeTools::callCount(std::string_view tool) const {
    return static_cast<int>(calls(tool).size());
}

void FakeTools::clearCalls() {
    for (const auto& d : {logDir_ + "/calls", logDir_ + "/claims"}) {
        std::error_code ec;
        fs::remove_all(d, ec);
        fs::create_directories(d);
    }
}

} // namespace pelsupport
