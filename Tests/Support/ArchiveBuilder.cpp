#include "Support/ArchiveBuilder.hpp"

#include "Support/FakeTools.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pelsupport {
namespace fs = std::filesystem;

namespace {

std::string tool(std::string_view name) {
    auto path = FakeTools::realTool(name);
    if (!path) throw std::runtime_error("real tool not found: " + std::string(name));
    return *path;
}

// "./name" for every entry at the top of `folder`, sorted, so the archive holds the contents and never
// a "./" entry that would reset the mode of the folder it is unpacked into.
std::vector<std::string> topLevelMembers(const fs::path& folder) {
    std::vector<std::string> members;
    for (const auto& entry : fs::directory_iterator(folder)) {
        members.push_back("./" + entry.path().filename().string());
    }
    std::sort(members.begin(), members.end());
    return members;
}

fs::path buildTar(const fs::path& folder, const fs::path& out, const std::string& compression) {
    fs::path target = fs::absolute(out);
    std::vector<std::string> argv{tool("tar"), "-c" + compression + "f", target.string(), "-C",
                                  folder.string()};
    auto members = topLevelMembers(folder);
    if (members.empty()) argv.push_back("--files-from=/dev/null");
    argv.insert(argv.end(), members.begin(), members.end());
    runRealTool(argv);
    return target;
}

} // namespace

void runRealTool(const std::vector<std::string>& argv, const fs::path& workingDirectory) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    if (!workingDirectory.empty()) posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, argv.at(0).c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        throw std::runtime_error("cannot start " + argv[0]);
    }
    std::string output;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output.append(buffer, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(argv[0] + " failed: " + output);
    }
}

fs::path buildZip(const fs::path& folder, const fs::path& out) {
    fs::path target = fs::absolute(out);
    // zip appends ".zip" to a name without one and adds to an existing archive: build afresh, then move.
    fs::path building = target.string() + ".building.zip";
    fs::remove(building);
    runRealTool({tool("zip"), "-q", "-r", "-y", building.string(), "."}, folder);
    fs::rename(building, target);
    return target;
}

fs::path buildTarGz(const fs::path& folder, const fs::path& out) {
    return buildTar(folder, out, "z");
}

fs::path buildTarBz2(const fs::path& folder, const fs::path& out) {
    return buildTar(folder, out, "j");
}

namespace {
fs::path diskImage(const fs::path& folder, const fs::path& out, std::optional<std::uint64_t> sectors) {
    fs::path target = buildTar(folder, out, "");
    const std::uint64_t count = sectors.value_or((fs::file_size(target) + 511) / 512);
    std::string trailer(512, '\0');
    trailer.replace(0, 4, "koly");
    for (int i = 0; i < 8; ++i)
        trailer[static_cast<std::size_t>(492 + i)] = static_cast<char>((count >> (8 * (7 - i))) & 0xFF);
    std::ofstream file(target, std::ios::binary | std::ios::app);
    file.write(trailer.data(), static_cast<std::streamsize>(trailer.size()));
    if (!file.flush()) throw std::runtime_error("cannot write the image trailer");
    return target;
}
} // namespace

fs::path buildDiskImage(const fs::path& folder, const fs::path& out) {
    return diskImage(folder, out, std::nullopt);
}

fs::path buildDiskImageOfSectors(const fs::path& folder, const fs::path& out, std::uint64_t sectors) {
    return diskImage(folder, out, sectors);
}

std::string tarOctal(std::uint64_t v, std::size_t width) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + (v & 7)));
        v >>= 3;
    } while (v != 0);
    if (digits.size() + 1 > width) throw std::runtime_error("tar number too wide: " + digits);
    return std::string(width - 1 - digits.size(), '0') + digits + '\0';
}

void setTarChecksum(std::string& header, bool signedChecksum) {
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < 512; ++i) {
        const char c = i >= 148 && i < 156 ? ' ' : header[i];
        sum += signedChecksum ? static_cast<signed char>(c) : static_cast<unsigned char>(c);
    }
    if (sum < 0) throw std::runtime_error("negative tar checksum");
    header.replace(148, 8, tarOctal(static_cast<std::uint64_t>(sum), 7) + ' ');
}

std::string tarHeader(const std::string& name, const std::string& sizeField, char type, bool signedChecksum) {
    if (name.size() > 100 || sizeField.size() != 12) throw std::runtime_error("bad tar header fields");
    std::string h(512, '\0');
    h.replace(0, name.size(), name);
    h.replace(100, 8, tarOctal(0644, 8));
    h.replace(108, 8, tarOctal(0, 8));
    h.replace(116, 8, tarOctal(0, 8));
    h.replace(124, 12, sizeField);
    h.replace(136, 12, tarOctal(0, 12));
    h[156] = type;
    h.replace(257, 6, std::string("ustar\0", 6));
    h.replace(263, 2, "00");
    setTarChecksum(h, signedChecksum);
    return h;
}

std::string tarBlocks(std::string data) {
    data.resize((data.size() + 511) / 512 * 512, '\0');
    return data;
}

std::string paxHeader(const std::vector<std::pair<std::string, std::string>>& records, char type) {
    std::string data;
    for (const auto& [key, value] : records) {
        // The length counts its own digits.
        const std::size_t body = key.size() + value.size() + 3; // " ", "=", "\n"
        std::size_t length = body + 1;
        while (std::to_string(length).size() + body != length)
            ++length;
        data += std::to_string(length) + " " + key + "=" + value + "\n";
    }
    return tarHeader("PaxHeaders/entry", tarOctal(data.size(), 12), type) + tarBlocks(data);
}

fs::path gzipFile(const fs::path& file, const fs::path& out) {
    fs::path target = fs::absolute(out);
    // gzip writes to standard output only; let sh redirect it into the file.
    runRealTool({tool("sh"), "-c", "exec \"$0\" -c -n -- \"$1\" > \"$2\"", tool("gzip"), file.string(),
                 target.string()});
    return target;
}

} // namespace pelsupport
