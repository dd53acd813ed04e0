#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "actor.h"
#include "child_process.h"
#include "operations.h"

namespace torture {
namespace {

// How long the child may take to close what it inherited; past it the
// child's alarm ends it (SIGALRM) and the parent reports the hang.
constexpr unsigned kChildSeconds = 3;

// The child, a copy of a process whose other threads may hold any lock of
// the library or of this test: it only reads atomics and calls viClose, as
// a program that forks and then closes what it inherited does, and
// reports through a file with plain system calls.
[[noreturn]] void child(Worker& w, const char* report_path) {
    ::alarm(kChildSeconds);
    char problem[512] = {};
    for (int k = 0; k < kSlots && problem[0] == '\0'; ++k) {
        const ViSession vi = w.slot(k).vi.load();
        if (vi == VI_NULL)
            continue;
        const ViStatus st = viClose(vi);
        // An inherited session may have been closed by the parent's other
        // threads just before the fork.
        if (st != VI_SUCCESS && st != VI_ERROR_INV_OBJECT) {
            std::snprintf(problem, sizeof problem,
                          "viClose of the inherited session %u returned 0x%08X", vi,
                          static_cast<unsigned>(st));
        }
    }
    const ViSession rm = w.rm();
    if (problem[0] == '\0' && rm != VI_NULL) {
        const ViStatus st = viClose(rm);
        if (st != VI_SUCCESS && st != VI_ERROR_INV_OBJECT) {
            std::snprintf(problem, sizeof problem,
                          "viClose of the inherited resource manager %u returned 0x%08X", rm,
                          static_cast<unsigned>(st));
        }
    }
    if (problem[0] == '\0')
        ::_exit(0);
    const int fd = ::open(report_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        (void)!::write(fd, problem, std::strlen(problem));
        ::close(fd);
    }
    ::_exit(kExitViolation);
}

std::string read_file_kept(const std::string& path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

std::string read_file(const std::string& path) {
    std::string text = read_file_kept(path);
    ::unlink(path.c_str());
    return text;
}

// The file and offset of `address` in a /proc/PID/maps text.
std::string mapping_of(const std::string& maps, unsigned long long address) {
    std::size_t at = 0;
    while (at < maps.size()) {
        const std::size_t end = std::min(maps.find('\n', at), maps.size());
        const std::string line = maps.substr(at, end - at);
        at = end + 1;
        unsigned long long from = 0, to = 0, offset = 0;
        int path_at = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx %*s %llx %*s %*s %n", &from, &to, &offset,
                        &path_at) < 3 ||
            address < from || address >= to)
            continue;
        char where[64];
        std::snprintf(where, sizeof where, " +0x%llx", address - from + offset);
        return line.substr(static_cast<std::size_t>(path_at)) + where;
    }
    return "no mapping";
}

// What a child that has not ended is doing, from /proc, before it is killed:
// the system call its (one) thread is in and the signals pending and
// blocked. SIGALRM pending (bit 14 of SigPnd/ShdPnd) means its alarm went off
// and could not end it; neither pending nor ended after the alarm's time
// means the alarm was never set: the child hung inside fork(), in a fork
// handler, before it began.
std::string describe_hung(pid_t pid) {
    std::string text;
    const std::string dir = "/proc/" + std::to_string(pid);
    const std::string status = read_file_kept(dir + "/status");
    for (const char* key : {"SigPnd:", "ShdPnd:", "SigBlk:", "Threads:"}) {
        const std::size_t at = status.find(key);
        if (at != std::string::npos)
            text += " " + status.substr(at, status.find('\n', at) - at) + ";";
    }
    std::string call = read_file_kept(dir + "/syscall");
    while (!call.empty() && call.back() == '\n')
        call.pop_back();
    text += " wchan " + read_file_kept(dir + "/wchan") +
            "; system call (number, arguments, stack pointer, instruction) " + call;
    // Where the instruction is, for addr2line: the library, libc, or this
    // program (which a sanitizer's runtime is linked into).
    const std::size_t last = call.rfind(' ');
    if (last != std::string::npos)
        text += "; the instruction in " +
                mapping_of(read_file_kept(dir + "/maps"),
                           std::strtoull(call.c_str() + last + 1, nullptr, 16));
    return text;
}

}  // namespace

void op_fork(Actor& a) {
    const std::string report = a.worker.setup().work_dir + "/child-" + std::to_string(::getpid()) +
                               "-" + std::to_string(a.index);
    int status = 0;
    pid_t pid = -1;
    std::string hung;  // what the child was doing when it was killed
    const ViStatus st = a.call(
        fn_fork_child, "fork; the child closes every session it inherited and its resource manager",
        Actor::fixed(kChildSeconds * 1000), [&]() -> ViStatus {
            pid = ::fork();
            if (pid == 0)
                child(a.worker, report.c_str());
            if (pid < 0)
                return VI_ERROR_SYSTEM_ERROR;
            // Its exit, or its alarm's, is what the wait is for; the bound
            // holds should even the alarm fail.
            sgtest::ChildProcess forked(pid);
            if (!forked.exited_within(std::chrono::milliseconds(kChildSeconds * 1000 + 2000)))
                hung = describe_hung(pid);
            forked.wait(std::chrono::milliseconds(0));
            status = forked.wait_status();
            return VI_SUCCESS;
        });
    if (st != VI_SUCCESS) {
        a.note("  fork failed: " + std::string(std::strerror(errno)));
        return;
    }
    if (WIFSIGNALED(status)) {
        a.violation("no hang: a child closes what it inherited at once",
                    "the child (pid " + std::to_string(pid) + ") was ended by signal " +
                        std::to_string(WTERMSIG(status)) +
                        (WTERMSIG(status) == SIGALRM
                             ? " (its alarm: it hung for " + std::to_string(kChildSeconds) +
                                   " s closing what it inherited)"
                             : "") +
                        (hung.empty() ? "" : "; before it was killed:" + hung));
    } else if (WEXITSTATUS(status) != 0) {
        a.violation("a child closes what it inherited",
                    "the child (pid " + std::to_string(pid) + "): " + read_file(report));
    }
}

}  // namespace torture
