#include "key_wait.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <iterator>
#include <utility>

#include "key_sequence.h"

namespace {

// What the SIGTERM/SIGHUP handler needs to put the terminal back. Written
// before the handlers are installed and read only while they are.
int g_restore_fd = -1;
termios g_restore_termios{};

constexpr int kTerminatingSignals[] = {SIGTERM, SIGHUP};

extern "C" void restore_terminal_and_reraise(int sig) {
    // tcsetattr, signal and raise are async-signal-safe.
    const int saved_errno = errno;
    if (g_restore_fd >= 0)
        ::tcsetattr(g_restore_fd, TCSANOW, &g_restore_termios);
    ::signal(sig, SIG_DFL);
    ::raise(sig);  // delivered with the default action once this handler returns
    errno = saved_errno;
}

// Puts the terminal into key mode for the length of one wait and restores it,
// together with the previous SIGTERM/SIGHUP handlers, on destruction.
class KeyModeGuard {
  public:
    KeyModeGuard(int fd, const termios& saved, bool own_handlers) : fd_(fd), saved_(saved) {
        g_restore_fd = fd;
        g_restore_termios = saved;
        struct sigaction sa {};
        sa.sa_handler = restore_terminal_and_reraise;
        sigemptyset(&sa.sa_mask);
        for (int sig : kTerminatingSignals)
            sigaddset(&sa.sa_mask, sig);
        for (std::size_t i = 0; i < std::size(kTerminatingSignals); ++i) {
            // A signal the process ignores (e.g. SIGHUP under nohup) stays ignored.
            ::sigaction(kTerminatingSignals[i], nullptr, &previous_[i]);
            if (own_handlers && previous_[i].sa_handler != SIG_IGN)
                ::sigaction(kTerminatingSignals[i], &sa, nullptr);
        }

        termios key_mode = saved;
        key_mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
        key_mode.c_iflag &= ~static_cast<tcflag_t>(IXON);
        key_mode.c_cc[VMIN] = 1;
        key_mode.c_cc[VTIME] = 0;
        // TCSANOW without a flush: a key pressed before the wait began counts.
        ::tcsetattr(fd, TCSANOW, &key_mode);
    }

    ~KeyModeGuard() {
        // Block the signals while the terminal and the handlers go back, so
        // that one arriving now finds either our handler or the previous one.
        sigset_t block, old;
        sigemptyset(&block);
        for (int sig : kTerminatingSignals)
            sigaddset(&block, sig);
        ::pthread_sigmask(SIG_BLOCK, &block, &old);
        ::tcsetattr(fd_, TCSANOW, &saved_);
        for (std::size_t i = 0; i < std::size(kTerminatingSignals); ++i)
            ::sigaction(kTerminatingSignals[i], &previous_[i], nullptr);
        g_restore_fd = -1;
        ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }

    KeyModeGuard(const KeyModeGuard&) = delete;
    KeyModeGuard& operator=(const KeyModeGuard&) = delete;

  private:
    int fd_;
    termios saved_;
    struct sigaction previous_[std::size(kTerminatingSignals)]{};
};

// Reads one byte, blocking. False on end of file or error (terminal hung up).
bool read_byte(int fd, unsigned char& byte) {
    ssize_t n;
    do {
        n = ::read(fd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

// Waits at most until `deadline` for the terminal to have a byte to read.
bool byte_arrives_by(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r > 0)
            return (p.revents & POLLIN) != 0;
        if (r == 0 || errno != EINTR)
            return false;
    }
}

// Waits for the terminal to have a byte to read; false when `stop_fd`
// (unless -1) became readable first, or the terminal failed.
bool key_or_stop(int fd, int stop_fd) {
    if (stop_fd < 0)
        return true;
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    for (;;) {
        // No bound: this waits for the operator, as the blocking read does.
        const int r = ::poll(p, 2, -1);
        if (r > 0)
            return p[1].revents == 0;
        if (errno != EINTR)
            return false;
    }
}

void read_one_key(int fd, int stop_fd) {
    KeySequence key;
    unsigned char byte = 0;
    if (!key_or_stop(fd, stop_fd) || !read_byte(fd, byte))
        return;
    // The rest of a multi-byte key arrives right behind its first byte.
    const auto deadline = std::chrono::steady_clock::now() + KeySequence::kKeyRestWindow;
    while (!key.add(byte)) {
        if (!byte_arrives_by(fd, deadline) || !read_byte(fd, byte))
            return;
    }
}

class FdCloser {
  public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() { ::close(fd_); }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;

  private:
    int fd_;
};

}  // namespace

TerminalKeyWait::TerminalKeyWait(std::string tty_path, int stop_fd)
    : tty_path_(std::move(tty_path)), stop_fd_(stop_fd) {}

void TerminalKeyWait::wait_for_key() {
    const int fd = ::open(tty_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;  // no terminal (e.g. started by setsid): nobody to wait for
    FdCloser closer(fd);
    termios saved{};
    if (::tcgetattr(fd, &saved) != 0)
        return;  // not a terminal
    KeyModeGuard key_mode(fd, saved, stop_fd_ < 0);
    read_one_key(fd, stop_fd_);
}
