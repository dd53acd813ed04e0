// A child process of a test or a benchmark: started with its argument
// vector, environment, working directory and descriptors (pipes to us, a
// pseudo-terminal as its controlling terminal, or ours), waited for with a
// bound, killed and reaped. Whatever a test leaves running is killed and
// reaped when the object goes. Depends on nothing but the C library, so that
// the benchmarks and the torture test (which links only the shipped library)
// can use it.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sgtest {

using Clock = std::chrono::steady_clock;

class ChildProcess {
  public:
    // What the child finds at one of its descriptors 0 to 3, when not one of ours.
    static constexpr int kKeep = -1;    // as ours is (inherited)
    static constexpr int kNull = -2;    // /dev/null
    static constexpr int kClosed = -3;  // nothing
    static constexpr int kPipe = -4;  // 0: a pipe we write (input()); 1, 2: one we read (output())

    struct Options {
        std::vector<std::string> argv;                         // argv[0]: the program's path
        std::vector<std::pair<std::string, std::string>> env;  // added to (or replacing in) ours
        std::string working_dir;                               // empty: ours
        int in = kKeep, out = kKeep, err = kKeep, fd3 = kKeep;
        // The slave side of a pseudo-terminal: the child's 0, 1, 2 and its
        // controlling terminal, in a session of its own.
        int terminal = -1;
        bool new_session = false;      // setsid(): no controlling terminal
        bool default_signals = false;  // none blocked or ignored, as a shell starts a program
        // When >= 0, the child writes the monotonic clock's nanoseconds (as
        // steady_clock counts them) as text here just before its exec.
        int exec_time_fd = -1;
    };

    ChildProcess() = default;
    // start(options); see started() and error().
    explicit ChildProcess(const Options& options) { start(options); }
    // Takes charge of `forked`, the parent's return of fork() (-1: no child).
    explicit ChildProcess(pid_t forked);
    // Kills (SIGKILL) and reaps a child still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Forks and execs, and returns once the exec happened (true) or failed
    // or did not come within 10 s (false, error() says why; the child is
    // reaped).
    bool start(const Options& options);
    bool started() const { return pid_ > 0; }
    const std::string& error() const { return error_; }
    pid_t pid() const { return pid_; }

    // Our ends of the pipes asked for with kPipe, or -1.
    int input() const { return input_; }
    int output() const { return output_; }
    void close_input();
    // Readable once the child has exited (a pidfd), to poll with other
    // descriptors; -1 on kernels without pidfds.
    int exit_fd() const { return exit_fd_; }

    // Waits at most `bound` for the exit; neither kills nor reaps. (Without
    // pidfds, before Linux 5.3, a wait for a running child has no bound.)
    bool exited_within(std::chrono::milliseconds bound);
    // Not exited (reaping it when it has).
    bool running();
    // Waits at most `bound` for the exit, kills the child (SIGKILL) when the
    // bound passes, and reaps it. Returns exit_code().
    int wait(std::chrono::milliseconds bound);
    // Sends `sig` to a child not yet reaped (so its pid is still its own).
    void signal(int sig);

    bool reaped() const { return reaped_; }
    bool timed_out() const { return timed_out_; }
    // Its exit status (0..255), 128+signal when a signal ended it, or -1
    // while not reaped.
    int exit_code() const;
    int wait_status() const { return wait_status_; }    // as waitpid() gives it
    const rusage& usage() const { return usage_; }      // what the kernel accounted to it
    Clock::time_point ended() const { return ended_; }  // when the wait saw the exit

  private:
    void reap();

    pid_t pid_ = -1;
    int exit_fd_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string error_;
    bool reaped_ = false;
    bool timed_out_ = false;
    int wait_status_ = 0;
    rusage usage_{};
    Clock::time_point ended_{};
};

// Waits at most `bound` for `pid`, a child of ours, to exit; kills it with
// SIGKILL when the bound passes, and reaps it. Returns its exit status
// (0..255), 128+signal when a signal ended it, or -1 when it could not be
// reaped.
int wait_for_exit(pid_t pid, std::chrono::milliseconds bound);

// "exited 3", "was ended by signal 9 (Killed)": a wait status in words.
std::string describe_exit(int wait_status);

// Milliseconds from now until `deadline`, for poll(): 0 once it passed,
// rounded up so that a wait does not end just before it.
int ms_until(Clock::time_point deadline);

// Reads once from `fd`, waiting at most until `deadline`, and appends to
// `out`. Returns the bytes read, 0 at end of file or on an error, -1 when
// the deadline passed first.
long read_some(int fd, Clock::time_point deadline, std::string& out);
// Reads until `out` contains `text` (true), or end of file or the deadline.
bool read_until(int fd, Clock::time_point deadline, std::string& out, std::string_view text);
// Reads until end of file (true) or the deadline.
bool read_to_end(int fd, Clock::time_point deadline, std::string& out);
// Writes all of `data`; false on an error.
bool write_all(int fd, std::string_view data);

}  // namespace sgtest
