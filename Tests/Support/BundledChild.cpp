#include "Support/BundledChild.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace pelsupport {

void writeInfoPlist(const fs::path& bundle, const std::string& identifier) {
    fs::create_directories(bundle / "Contents");
    std::ofstream(bundle / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>CFBundleIdentifier</key><string>" << identifier << "</string></dict></plist>\n";
}

fs::path installSleeper(const fs::path& bundle, const std::string& name) {
    fs::create_directories(bundle / "Contents/MacOS");
    fs::path exe = bundle / "Contents/MacOS" / name;
    fs::copy_file("/bin/sleep", exe);
    fs::permissions(exe, fs::perms::owner_all);
    return exe;
}

BundledChild::BundledChild(const fs::path& exe, bool ignoreTerminate) {
    std::string path = exe.string();
    std::string seconds = "60";
    char* argv[] = {path.data(), seconds.data(), nullptr};
    // The write end closes on exec, so the parent's read returns once the child runs `exe`.
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        struct sigaction action {};
        action.sa_handler = ignoreTerminate ? SIG_IGN : SIG_DFL;
        ::sigaction(SIGTERM, &action, nullptr);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(path.c_str(), argv);
        ::_exit(127);
    }
    ::close(ready[1]);
    char byte = 0;
    while (::read(ready[0], &byte, 1) < 0 && errno == EINTR) {
    }
    ::close(ready[0]);
}

void BundledChild::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

int BundledChild::waitForEnd() {
    if (pid_ <= 0) return -1;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

bool BundledChild::running() const {
    if (pid_ <= 0) return false;
    siginfo_t info{};
    // WNOWAIT leaves a finished child to be reaped later.
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return info.si_pid == 0;
}

} // namespace pelsupport
