#pragma once

#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace pelsupport {

// Stands in for a terminal nobody answers: until the object goes, the process's standard input is a
// pipe that holds `typed` and is never closed by its writer, so a child that inherits it and reads
// past `typed` waits for good. Restores the previous standard input afterwards.
class ScopedStandardInput {
public:
    explicit ScopedStandardInput(std::string_view typed = {}) {
        saved_ = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
        writer_ = fds[1];
        // dup2 clears close-on-exec on the copy, so children inherit it as a caller's input would be.
        if (::dup2(fds[0], STDIN_FILENO) < 0) throw std::system_error(errno, std::generic_category(), "dup2");
        ::close(fds[0]);
        while (!typed.empty()) {
            const ssize_t n = ::write(writer_, typed.data(), typed.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::system_error(errno, std::generic_category(), "write");
            typed.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    ~ScopedStandardInput() {
        if (saved_ >= 0) {
            ::dup2(saved_, STDIN_FILENO);
            ::close(saved_);
        } else {
            ::close(STDIN_FILENO);
        }
        ::close(writer_);
    }
    ScopedStandardInput(const ScopedStandardInput&) = delete;
    ScopedStandardInput& operator=(const ScopedStandardInput&) = delete;

private:
    int saved_ = -1;
    int writer_ = -1;
};

} // namespace pelsupport
