#include "PelApp/Launch/QuitSignals.hpp"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>

namespace pelapp {

namespace {

constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};

int wakeRead = -1;
int wakeWrite = -1;
std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch lock-free state");

// Async-signal-safe only: an atomic, write and _exit.
void onQuitSignal(int signo) {
    if (received.fetch_add(1) > 0) _exit(128 + signo);
    const int saved = errno;
    const char byte = static_cast<char>(signo);
    [[maybe_unused]] const ssize_t written = ::write(wakeWrite, &byte, 1);
    errno = saved;
}

} // namespace

void quitOnSignals(std::function<void()> quit) {
    if (wakeRead >= 0) throw std::logic_error("quit signals are already handled");
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("quit signal pipe: " + std::string(std::strerror(errno)));
    wakeRead = fds[0];
    wakeWrite = fds[1];

    auto* notifier = new QSocketNotifier(wakeRead, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, quit = std::move(quit)] {
        char bytes[16];
        while (::read(wakeRead, bytes, sizeof bytes) > 0) {
        }
        // One quit: any later signal never reaches the loop, its handler ends the process.
        notifier->setEnabled(false);
        quit();
    });

    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signo : kQuitSignals)
        sigaddset(&action.sa_mask, signo); // handlers never interleave
    for (int signo : kQuitSignals) {
        struct sigaction before {};
        ::sigaction(signo, nullptr, &before);
        // A signal the starter ignores (nohup, a background job's Ctrl+C) stays ignored.
        if (before.sa_handler != SIG_IGN) ::sigaction(signo, &action, nullptr);
    }
}

void quitOnSignals() {
    quitOnSignals([] { QCoreApplication::exit(0); });
}

} // namespace pelapp
