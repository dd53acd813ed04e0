#include "worker_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "board.h"
#include "child_process.h"
#include "clock.h"
#include "reporter.h"

namespace torture {
namespace {

// Worker process groups to end should the run itself be interrupted.
volatile sig_atomic_t g_groups[kMaxIncarnations];
volatile sig_atomic_t g_group_count = 0;

extern "C" void on_interrupt(int sig) {
    for (int i = 0; i < g_group_count; ++i) {
        if (g_groups[i] > 0)
            ::kill(-static_cast<pid_t>(g_groups[i]), SIGKILL);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void remember_group(std::uint32_t incarnation, pid_t pid) {
    const int slot = static_cast<int>(incarnation % kMaxIncarnations);
    g_groups[slot] = pid;
    if (g_group_count < slot + 1)
        g_group_count = slot + 1;
}

}  // namespace

std::string describe_exit(int status) {
    if (WIFEXITED(status)) {
        switch (WEXITSTATUS(status)) {
            case kExitViolation:
                return "ended on a violation";
            case kExitHang:
                return "ended on a hang";
            case kExitSetup:
                return "could not set up (or lost the supervisor)";
            case 66:
                return "exited 66: ThreadSanitizer reported";
        }
    }
    return sgtest::describe_exit(status);
}

void end_workers_on_interrupt() {
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

WorkerPool::WorkerPool(WorkerSetup setup, std::vector<int> foreign_fds, int size, Fail fail,
                       bool verbose)
    : setup_(std::move(setup)),
      foreign_fds_(std::move(foreign_fds)),
      workers_(static_cast<std::size_t>(size)),
      fail_(std::move(fail)),
      verbose_(verbose) {}

std::vector<int> WorkerPool::descriptors() const {
    std::vector<int> fds;
    for (const Process& w : workers_) {
        if (w.alive) {
            fds.push_back(w.command_fd);
            fds.push_back(w.reply_fd);
        }
    }
    return fds;
}

void WorkerPool::spawn(int index) {
    int command[2];
    int reply[2];
    if (::pipe2(command, O_CLOEXEC) != 0 || ::pipe2(reply, O_CLOEXEC) != 0) {
        fail_("cannot make the pipes of a worker");
        return;
    }
    Process& w = workers_[index];
    w.incarnation = next_incarnation_++;
    w.replies.clear();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        // A worker keeps only its own ends: no other worker's pipes, no
        // instrument's output (no exec follows to close them).
        for (const int fd : descriptors())
            ::close(fd);
        for (const int fd : foreign_fds_)
            ::close(fd);
        ::close(command[1]);
        ::close(reply[0]);
        WorkerSetup setup = setup_;
        setup.incarnation = w.incarnation;
        setup.command_fd = command[0];
        setup.reply_fd = reply[1];
        run_worker(std::move(setup));
    }
    ::close(command[0]);
    ::close(reply[1]);
    if (pid < 0) {
        ::close(command[1]);
        ::close(reply[0]);
        fail_("cannot fork a worker");
        return;
    }
    ::setpgid(pid, pid);
    w.pid = pid;
    w.command_fd = command[1];
    w.reply_fd = reply[0];
    w.alive = true;
    remember_group(w.incarnation, pid);
    if (verbose_)
        std::printf("worker %d: incarnation %u, pid %d\n", index, w.incarnation, pid);
}

void WorkerPool::reap(int index, bool killed) {
    Process& w = workers_[index];
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(w.pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    // Its children (a child closing what it inherited), now this process's
    // (the supervisor is their subreaper), go with it before the next
    // probe: they hold the worker's descriptors, and with them its locks.
    if (!killed)
        ::kill(-w.pid, SIGKILL);
    int ignored = 0;
    while (::waitpid(-w.pid, &ignored, 0) > 0 || errno == EINTR) {
    }
    ::close(w.command_fd);
    ::close(w.reply_fd);
    w.command_fd = -1;
    w.reply_fd = -1;
    w.alive = false;
    remember_group(w.incarnation, 0);
    if (!killed && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        fail_("worker incarnation " + std::to_string(w.incarnation) + " (pid " +
              std::to_string(w.pid) + ") " + describe_exit(status));
    }
}

void WorkerPool::kill(int index) {
    Process& w = workers_[index];
    if (!w.alive)
        return;
    // Known before the kill, so that no worker takes what the killed one
    // leaves (a held lock, a reply) for the library's fault.
    setup_.board->killed[w.incarnation % kMaxIncarnations].store(1);
    setup_.board->kills.fetch_add(1);
    ++kills_;
    if (verbose_)
        std::printf("killing worker %d (incarnation %u, pid %d)\n", index, w.incarnation, w.pid);
    ::kill(-w.pid, SIGKILL);
    reap(index, true);
}

void WorkerPool::kill_all() {
    for (int i = 0; i < size(); ++i) {
        if (workers_[i].alive) {
            ::kill(-workers_[i].pid, SIGKILL);
            reap(i, true);
        }
    }
}

void WorkerPool::reap_all() {
    for (int i = 0; i < size(); ++i) {
        if (workers_[i].alive)
            reap(i, false);
    }
}

void WorkerPool::watch_until(std::int64_t deadline_ns) {
    for (;;) {
        const std::int64_t left_ms = (deadline_ns - now_ns()) / 1'000'000;
        if (left_ms <= 0)
            return;
        std::vector<pollfd> fds;
        std::vector<int> which;
        for (int i = 0; i < size(); ++i) {
            if (workers_[i].alive) {
                fds.push_back({workers_[i].reply_fd, POLLIN, 0});
                which.push_back(i);
            }
        }
        const int r = ::poll(fds.data(), fds.size(), static_cast<int>(left_ms));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (fds[k].revents == 0)
                continue;
            Process& w = workers_[which[k]];
            char buf[256];
            const ssize_t n = ::read(w.reply_fd, buf, sizeof buf);
            if (n > 0) {
                w.replies.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            reap(which[k], false);  // it ended without being asked to
            return;
        }
    }
}

void WorkerPool::command_all(char command, const std::string& answer, int bound_ms) {
    for (Process& w : workers_) {
        if (w.alive)
            (void)!::write(w.command_fd, &command, 1);
    }
    const std::int64_t deadline = now_ns() + std::int64_t{bound_ms} * 1'000'000;
    const std::string line = answer + "\n";
    for (int i = 0; i < size(); ++i) {
        Process& w = workers_[i];
        while (w.alive && w.replies.find(line) == std::string::npos) {
            const std::int64_t left_ms = (deadline - now_ns()) / 1'000'000;
            pollfd p{w.reply_fd, POLLIN, 0};
            const int r = left_ms > 0 ? ::poll(&p, 1, static_cast<int>(left_ms)) : 0;
            if (r < 0 && errno == EINTR)
                continue;
            if (r == 0) {
                fail_("worker incarnation " + std::to_string(w.incarnation) + " did not answer '" +
                      std::string(1, command) + "' within " + std::to_string(bound_ms) + " ms");
                ::kill(-w.pid, SIGKILL);
                reap(i, true);
                break;
            }
            char buf[256];
            const ssize_t n = ::read(w.reply_fd, buf, sizeof buf);
            if (n <= 0) {
                reap(i, false);
                break;
            }
            w.replies.append(buf, static_cast<std::size_t>(n));
        }
        const auto at = w.replies.find(line);
        if (at != std::string::npos)
            w.replies.erase(0, at + line.size());
    }
}

}  // namespace torture
