#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace sgtest {
namespace {

void write_exec_time(int fd) {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    unsigned long long t = static_cast<unsigned long long>(ts.tv_sec) * 1'000'000'000ULL +
                           static_cast<unsigned long long>(ts.tv_nsec);
    char text[24];
    int at = sizeof text;
    text[--at] = '\n';
    do {
        text[--at] = static_cast<char>('0' + t % 10);
        t /= 10;
    } while (t > 0);
    (void)!::write(fd, text + at, sizeof text - static_cast<std::size_t>(at));
}

// The child, between fork and exec: only async-signal-safe calls (no
// allocation: another thread of ours may have held a lock at the fork).
// `fds`: ours to place at 0 to 3, or kKeep or kClosed.
[[noreturn]] void exec_child(const ChildProcess::Options& o, char** argv, char** envp,
                             const int (&fds)[4], int error_fd) {
    if (o.default_signals) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig = 1; sig < NSIG; ++sig)
            if (sig != SIGKILL && sig != SIGSTOP)
                signal(sig, SIG_DFL);
    }
    bool ok = !(o.new_session || o.terminal >= 0) || setsid() >= 0;
    if (ok && o.terminal >= 0)
        ok = ioctl(o.terminal, TIOCSCTTY, 0) == 0;
    // Every descriptor to place goes above 3 first, so that placing one
    // cannot overwrite another; dup2 clears FD_CLOEXEC on the placed copy.
    int moved[4];
    for (int i = 0; ok && i < 4; ++i) {
        moved[i] = fds[i] >= 0 ? fcntl(fds[i], F_DUPFD_CLOEXEC, 10) : fds[i];
        ok = moved[i] != -1 || fds[i] == ChildProcess::kKeep;
    }
    for (int i = 0; ok && i < 4; ++i) {
        if (moved[i] >= 0)
            ok = dup2(moved[i], i) == i;
        else if (moved[i] == ChildProcess::kClosed)
            close(i);
    }
    if (ok && !o.working_dir.empty())
        ok = chdir(o.working_dir.c_str()) == 0;
    if (ok) {
        if (o.exec_time_fd >= 0)
            write_exec_time(o.exec_time_fd);
        execve(argv[0], argv, envp);
    }
    const int err = errno;
    (void)!write(error_fd, &err, sizeof err);
    _exit(127);
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Ours, with the overrides replacing or added to it.
std::vector<std::string> environment_with(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
    std::vector<std::string> out;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry(*e);
        const bool replaced = std::any_of(overrides.begin(), overrides.end(), [&](const auto& o) {
            return entry.rfind(o.first + "=", 0) == 0;
        });
        if (!replaced)
            out.push_back(entry);
    }
    for (const auto& [name, value] : overrides)
        out.push_back(name + "=" + value);
    return out;
}

void close_if_open(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

int open_pidfd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

}  // namespace

ChildProcess::ChildProcess(pid_t forked) {
    if (forked > 0) {
        pid_ = forked;
        exit_fd_ = open_pidfd(forked);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        reap();
    }
    close_if_open(exit_fd_);
    close_if_open(input_);
    close_if_open(output_);
}

bool ChildProcess::start(const Options& options) {
    if (pid_ > 0 || options.argv.empty()) {
        error_ = pid_ > 0 ? "started already" : "no program";
        return false;
    }
    std::vector<std::string> args = options.argv;
    std::vector<std::string> env = environment_with(options.env);
    std::vector<char*> argv = pointers_to(args);
    std::vector<char*> envp = pointers_to(env);

    int in[2] = {-1, -1}, out[2] = {-1, -1}, errors[2] = {-1, -1};
    const int specs[4] = {options.in, options.out, options.err, options.fd3};
    const bool wants_null = std::count(specs, specs + 4, kNull) > 0;
    const int null_fd = wants_null ? ::open("/dev/null", O_RDWR | O_CLOEXEC) : -1;
    if ((options.in == kPipe && ::pipe2(in, O_CLOEXEC) != 0) ||
        ((options.out == kPipe || options.err == kPipe) && ::pipe2(out, O_CLOEXEC) != 0) ||
        ::pipe2(errors, O_CLOEXEC) != 0 || (wants_null && null_fd < 0)) {
        error_ = std::string("making the child's descriptors: ") + std::strerror(errno);
        for (int fd : {in[0], in[1], out[0], out[1], errors[0], errors[1], null_fd})
            close_if_open(fd);
        return false;
    }
    int fds[4];
    for (int i = 0; i < 4; ++i) {
        const int spec = options.terminal >= 0 && i < 3 ? options.terminal : specs[i];
        fds[i] = spec == kNull ? null_fd : spec == kPipe ? (i == 0 ? in[0] : out[1]) : spec;
    }

    const pid_t pid = ::fork();
    if (pid == 0)
        exec_child(options, argv.data(), envp.data(), fds, errors[1]);
    const int fork_errno = errno;
    for (int fd : {in[0], out[1], errors[1], null_fd})
        close_if_open(fd);
    input_ = in[1];
    output_ = out[0];
    if (pid < 0) {
        error_ = std::string("fork: ") + std::strerror(fork_errno);
        close_if_open(input_);
        close_if_open(output_);
        close_if_open(errors[0]);
        return false;
    }
    pid_ = pid;
    exit_fd_ = open_pidfd(pid);
    // The pipe closes at the exec; an errno comes instead when the start
    // failed.
    std::string report;
    const bool closed = read_to_end(errors[0], Clock::now() + std::chrono::seconds(10), report);
    close_if_open(errors[0]);
    if (closed && report.empty())
        return true;
    int child_errno = 0;
    std::memcpy(&child_errno, report.data(), std::min(report.size(), sizeof child_errno));
    error_ = "starting " + options.argv[0] + ": " +
             (closed ? std::strerror(child_errno) : "no exec within 10 s");
    signal(SIGKILL);
    wait(std::chrono::seconds(10));
    pid_ = -1;
    return false;
}

void ChildProcess::close_input() {
    close_if_open(input_);
}

bool ChildProcess::exited_within(std::chrono::milliseconds bound) {
    if (pid_ <= 0 || reaped_)
        return true;
    if (exit_fd_ < 0) {
        // No pidfd (kernels before 5.3): the wait has no bound.
        siginfo_t info{};
        const int flags = WEXITED | WNOWAIT | (bound.count() <= 0 ? WNOHANG : 0);
        while (::waitid(P_PID, static_cast<id_t>(pid_), &info, flags) < 0 && errno == EINTR) {
        }
        return info.si_pid == pid_;
    }
    const auto deadline = Clock::now() + bound;
    for (;;) {
        pollfd p{exit_fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, ms_until(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0;
    }
}

bool ChildProcess::running() {
    if (pid_ <= 0 || reaped_)
        return false;
    if (!exited_within(std::chrono::milliseconds(0)))
        return true;
    reap();
    return false;
}

int ChildProcess::wait(std::chrono::milliseconds bound) {
    if (pid_ <= 0 || reaped_)
        return exit_code();
    if (!exited_within(bound)) {
        timed_out_ = true;
        ::kill(pid_, SIGKILL);
    }
    reap();
    return exit_code();
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0 && !reaped_)
        ::kill(pid_, sig);
}

void ChildProcess::reap() {
    pid_t w;
    do {
        w = ::wait4(pid_, &wait_status_, 0, &usage_);
    } while (w < 0 && errno == EINTR);
    ended_ = Clock::now();
    reaped_ = true;
    if (w != pid_)
        wait_status_ = -1;
}

int ChildProcess::exit_code() const {
    if (!reaped_ || wait_status_ == -1)
        return -1;
    if (WIFEXITED(wait_status_))
        return WEXITSTATUS(wait_status_);
    return WIFSIGNALED(wait_status_) ? 128 + WTERMSIG(wait_status_) : -1;
}

int wait_for_exit(pid_t pid, std::chrono::milliseconds bound) {
    ChildProcess child(pid);
    return child.wait(bound);
}

std::string describe_exit(int wait_status) {
    if (WIFEXITED(wait_status))
        return "exited " + std::to_string(WEXITSTATUS(wait_status));
    if (WIFSIGNALED(wait_status))
        return "was ended by signal " + std::to_string(WTERMSIG(wait_status)) + " (" +
               ::strsignal(WTERMSIG(wait_status)) + ")";
    return "ended";
}

int ms_until(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

long read_some(int fd, Clock::time_point deadline, std::string& out) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, ms_until(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return 0;
        out.append(buf, static_cast<std::size_t>(n));
        return n;
    }
}

bool read_until(int fd, Clock::time_point deadline, std::string& out, std::string_view text) {
    while (out.find(text) == std::string::npos) {
        if (read_some(fd, deadline, out) <= 0)
            return false;
    }
    return true;
}

bool read_to_end(int fd, Clock::time_point deadline, std::string& out) {
    for (;;) {
        const long n = read_some(fd, deadline, out);
        if (n <= 0)
            return n == 0;
    }
}

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace sgtest
