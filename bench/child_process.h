// Child processes for the benchmarks: spawning with chosen descriptors,
// bounded waits, and what the kernel accounted to the child.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace sgbench {

using Clock = std::chrono::steady_clock;

// Nanoseconds on the system-wide monotonic clock: comparable between processes.
long long monotonic_ns();

struct ChildUsage {
    int status = -1;          // exit status, 128+signal, or -1 when not reaped
    double cpu_ms = 0;        // user + system time
    long max_rss_kib = 0;     // peak resident set
    Clock::time_point ended;  // when the wait saw the exit
};

// Waits for `pid` to exit, at most `bound` (then kills it with SIGKILL), and
// reaps it with its resource usage. Blocks on a pidfd, never polls in a loop.
ChildUsage wait_child(pid_t pid, std::chrono::milliseconds bound);

struct SpawnSpec {
    std::vector<std::string> argv;  // argv[0] is the program's path
    int stdin_fd = -1;              // descriptors the child gets as 0, 1, 2, 3;
    int stdout_fd = -1;             // -1 leaves /dev/null there (fd 3: nothing)
    int stderr_fd = -1;
    int fd3 = -1;
    bool new_session = false;  // setsid(): no controlling terminal
    // When >= 0, the child writes monotonic_ns() as text to this descriptor
    // just before exec (the descriptor is closed by the exec).
    int exec_time_fd = -1;
};

// fork + exec; returns the pid, or -1 with a message on standard error.
pid_t spawn(const SpawnSpec& spec);

// Reads from `fd` until end of file or `deadline`, appending to `out`.
// Returns true on end of file.
bool read_to_end(int fd, Clock::time_point deadline, std::string& out);

// Reads what is available from `fd` within `deadline` (at least one byte
// unless end of file or the deadline comes first). Returns the number of
// bytes appended, 0 at end of file, -1 when the deadline passed.
long read_some(int fd, Clock::time_point deadline, std::string& out);

// Waits until process `pid` holds an inotify watch on the file at `path` (a
// process waiting for an instrument lock watches the lock file), at most
// until `deadline`. There is no event for that, so this looks every 100 us.
bool wait_for_inotify_watch(pid_t pid, const std::string& path, Clock::time_point deadline);

// Writes all of `data`; false on an error.
bool write_all(int fd, const std::string& data);

}  // namespace sgbench
