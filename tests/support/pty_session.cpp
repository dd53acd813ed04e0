#include "pty_session.h"
#include "child_environment.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sgtest {
namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

std::string errno_text(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

int decode(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_in_terminal(int slave, int error_pipe, const char* path, char** argv,
                                   char** envp) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP)
            signal(sig, SIG_DFL);
    int err = 0;
    if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) != 0 || dup2(slave, 0) < 0 ||
        dup2(slave, 1) < 0 || dup2(slave, 2) < 0) {
        err = errno;
    } else {
        if (slave > 2)
            close(slave);
        execve(path, argv, envp);
        err = errno;
    }
    ssize_t ignored = write(error_pipe, &err, sizeof err);
    (void)ignored;
    _exit(127);
}

}  // namespace

PtySession::PtySession(const std::string& program, const PtyOptions& options) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) {
        error_ = errno_text("posix_openpt");
        return;
    }
    char name[128];
    int packet = 1;
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0 || ::ioctl(master_, TIOCPKT, &packet) != 0) {
        error_ = errno_text("setting up the pseudo-terminal");
        return;
    }
    slave_path_ = name;
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error_ = errno_text("opening the terminal");
        return;
    }
    winsize size{};
    size.ws_row = options.rows;
    size.ws_col = options.cols;
    ::ioctl(slave, TIOCSWINSZ, &size);
    ::tcgetattr(slave, &settings_at_start_);

    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), options.args.begin(), options.args.end());
    ChildEnvironment environment(options.env);
    std::vector<char*> argv = pointers_to(argv_strings);

    int error_pipe[2];
    if (::pipe2(error_pipe, O_CLOEXEC) != 0) {
        error_ = errno_text("pipe2");
        ::close(slave);
        return;
    }
    const pid_t pid = ::fork();
    if (pid == 0)
        exec_in_terminal(slave, error_pipe[1], program.c_str(), argv.data(), environment.envp());
    ::close(slave);
    ::close(error_pipe[1]);
    if (pid < 0) {
        error_ = errno_text("fork");
        ::close(error_pipe[0]);
        return;
    }
    // The pipe closes on exec; an errno arrives instead when the start failed.
    int child_errno = 0;
    ssize_t n;
    do {
        n = ::read(error_pipe[0], &child_errno, sizeof child_errno);
    } while (n < 0 && errno == EINTR);
    ::close(error_pipe[0]);
    pid_ = pid;
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (n > 0) {
        error_ = "starting " + program + ": " + std::strerror(child_errno);
        reap(false);
        pid_ = -1;
    }
}

PtySession::~PtySession() {
    if (pid_ > 0 && !reaped_)
        reap(true);
    if (pidfd_ >= 0)
        ::close(pidfd_);
    if (master_ >= 0)
        ::close(master_);
}

bool PtySession::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void PtySession::take_packet(const char* data, std::size_t n) {
    if (n == 0)
        return;
    // Packet mode: a zero byte followed by screen output, or one byte of
    // status flags.
    if (data[0] == TIOCPKT_DATA) {
        output_.append(data + 1, n - 1);
        return;
    }
    if (data[0] & TIOCPKT_NOSTOP)
        ++flow_off_reports_;
    if (data[0] & TIOCPKT_DOSTOP)
        ++flow_on_reports_;
}

bool PtySession::read_some(Clock::time_point deadline) {
    if (eof_ || master_ < 0)
        return false;
    for (;;) {
        pollfd p{master_, POLLIN, 0};
        const int r = ::poll(&p, 1, ms_left(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char buf[4096];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            // EIO: every holder of the terminal's other side has closed it.
            eof_ = true;
            return false;
        }
        take_packet(buf, static_cast<std::size_t>(n));
        return true;
    }
}

bool PtySession::wait_for(std::string_view text, std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    for (;;) {
        const std::size_t at = output_.find(text, match_end_);
        if (at != std::string::npos) {
            match_end_ = at + text.size();
            return true;
        }
        if (!read_some(deadline))
            return false;
    }
}

bool PtySession::wait_for_flow_control(bool on, std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    int& reports = on ? flow_on_reports_ : flow_off_reports_;
    for (;;) {
        if (reports > 0) {
            --reports;
            return true;
        }
        if (!read_some(deadline))
            return false;
    }
}

int PtySession::wait_exit(std::chrono::milliseconds bound) {
    if (pid_ <= 0)
        return -1;
    if (reaped_)
        return exit_status_;
    const auto deadline = Clock::now() + bound;
    // Wait for the exit, collecting output meanwhile. Without a pidfd (kernels
    // before 5.3) the end of the output stands for the exit.
    for (bool exited = false; !exited;) {
        pollfd fds[2] = {{pidfd_, POLLIN, 0}, {eof_ ? -1 : master_, POLLIN, 0}};
        const int r = ::poll(fds, 2, ms_left(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            timed_out_ = true;
            return reap(true);
        }
        if (fds[1].revents != 0)
            read_some(Clock::now());
        exited = (fds[0].revents & POLLIN) != 0 || (pidfd_ < 0 && eof_);
    }
    // Output written just before the exit may still be on its way through the
    // terminal: read on to its end (EIO), but not for long, in case something
    // the program left behind still holds the terminal.
    const auto drain_deadline = std::min(deadline, Clock::now() + std::chrono::seconds(2));
    while (!eof_ && Clock::now() < drain_deadline && read_some(drain_deadline)) {
    }
    return reap(false);
}

int PtySession::reap(bool kill_first) {
    if (kill_first)
        ::kill(pid_, SIGKILL);
    int status = 0;
    pid_t w;
    do {
        w = ::waitpid(pid_, &status, 0);
    } while (w < 0 && errno == EINTR);
    reaped_ = true;
    exit_status_ = w == pid_ ? decode(status) : -1;
    return exit_status_;
}

termios PtySession::settings() const {
    termios t{};
    const int fd = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        ::tcgetattr(fd, &t);
        ::close(fd);
    } else if (master_ >= 0) {
        ::tcgetattr(master_, &t);  // on Linux the master reports the terminal's settings
    }
    return t;
}

bool same_terminal_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

std::string describe_settings_difference(const termios& before, const termios& after) {
    std::string out;
    char line[96];
    auto flags = [&](const char* name, tcflag_t a, tcflag_t b) {
        if (a != b) {
            std::snprintf(line, sizeof line, "%s %#o -> %#o; ", name, a, b);
            out += line;
        }
    };
    flags("c_iflag", before.c_iflag, after.c_iflag);
    flags("c_oflag", before.c_oflag, after.c_oflag);
    flags("c_cflag", before.c_cflag, after.c_cflag);
    flags("c_lflag", before.c_lflag, after.c_lflag);
    for (std::size_t i = 0; i < sizeof before.c_cc; ++i) {
        if (before.c_cc[i] != after.c_cc[i]) {
            std::snprintf(line, sizeof line, "c_cc[%zu] %u -> %u; ", i,
                          static_cast<unsigned>(before.c_cc[i]),
                          static_cast<unsigned>(after.c_cc[i]));
            out += line;
        }
    }
    return out.empty() ? "identical" : out;
}

}  // namespace sgtest
