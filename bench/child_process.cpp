#include "child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace sgbench {
namespace {

int decode(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

int ms_left(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return 0;
    return left > 1'000'000 ? 1'000'000 : static_cast<int>(left) + 1;
}

// In the child after fork: only async-signal-safe calls until exec.
[[noreturn]] void exec_child(const SpawnSpec& spec, char* const* argv) {
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const int wanted[4] = {spec.stdin_fd, spec.stdout_fd, spec.stderr_fd, spec.fd3};
    // First move every wanted descriptor above 3 so that dup2 cannot clobber one.
    int moved[4];
    for (int i = 0; i < 4; ++i) {
        const int src = wanted[i] >= 0 ? wanted[i] : (i < 3 ? null_fd : -1);
        moved[i] = src >= 0 ? ::fcntl(src, F_DUPFD_CLOEXEC, 10) : -1;
    }
    for (int i = 0; i < 4; ++i) {
        if (moved[i] >= 0)
            ::dup2(moved[i], i);  // dup2 clears FD_CLOEXEC on the copy
    }
    if (spec.new_session)
        ::setsid();
    if (spec.exec_time_fd >= 0) {
        char text[32];
        int n = 0;
        long long t = monotonic_ns();
        char digits[24];
        int d = 0;
        do {
            digits[d++] = static_cast<char>('0' + t % 10);
            t /= 10;
        } while (t > 0 && d < 24);
        while (d > 0)
            text[n++] = digits[--d];
        text[n++] = '\n';
        if (::write(spec.exec_time_fd, text, static_cast<std::size_t>(n)) < 0) {
        }
    }
    ::execv(argv[0], argv);
    const char msg[] = "bench: exec failed\n";
    if (::write(2, msg, sizeof msg - 1) < 0) {
    }
    ::_exit(127);
}

}  // namespace

long long monotonic_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

ChildUsage wait_child(pid_t pid, std::chrono::milliseconds bound) {
    ChildUsage u;
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        const auto deadline = Clock::now() + bound;
        pollfd p{pidfd, POLLIN, 0};
        int r;
        do {
            r = ::poll(&p, 1, ms_left(deadline));
        } while (r < 0 && errno == EINTR);
        ::close(pidfd);
        if (r == 0) {
            std::fprintf(stderr, "bench: child %d did not exit within %lld ms; killed\n",
                         static_cast<int>(pid), static_cast<long long>(bound.count()));
            ::kill(pid, SIGKILL);
        }
    }
    int status = 0;
    rusage ru{};
    pid_t w;
    do {
        w = ::wait4(pid, &status, 0, &ru);
    } while (w < 0 && errno == EINTR);
    u.ended = Clock::now();
    if (w != pid)
        return u;
    u.status = decode(status);
    u.cpu_ms = (static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3) +
               static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    u.max_rss_kib = ru.ru_maxrss;
    return u;
}

pid_t spawn(const SpawnSpec& spec) {
    if (spec.argv.empty())
        return -1;
    std::vector<char*> argv;
    for (const auto& a : spec.argv)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::fprintf(stderr, "bench: fork: %s\n", std::strerror(errno));
        return -1;
    }
    if (pid == 0)
        exec_child(spec, argv.data());
    return pid;
}

long read_some(int fd, Clock::time_point deadline, std::string& out) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, ms_left(deadline));
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

bool read_to_end(int fd, Clock::time_point deadline, std::string& out) {
    for (;;) {
        const long n = read_some(fd, deadline, out);
        if (n == 0)
            return true;
        if (n < 0)
            return false;
    }
}

bool write_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

bool watches(pid_t pid, const std::string& ino_field) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fdinfo";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return false;
    bool found = false;
    while (const dirent* e = ::readdir(d)) {
        std::ifstream info(dir + "/" + e->d_name);
        std::string line;
        while (!found && std::getline(info, line))
            found = line.rfind("inotify wd:", 0) == 0 && line.find(ino_field) != std::string::npos;
    }
    ::closedir(d);
    return found;
}

}  // namespace

bool wait_for_inotify_watch(pid_t pid, const std::string& path, Clock::time_point deadline) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    std::ostringstream field;
    field << "ino:" << std::hex << static_cast<unsigned long long>(st.st_ino) << ' ';
    while (!watches(pid, field.str())) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

}  // namespace sgbench
