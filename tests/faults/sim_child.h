// sgsim as a child process the test can kill with any signal (SIGKILL to
// make the generator vanish) and start again on the same bus directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace sgfault {

class SimChild {
  public:
    // Starts `sgsim --serial SIM001 --log <log> <extra...>` with
    // XDG_RUNTIME_DIR=<runtime_dir>; waits (bounded) for its ready line.
    SimChild(const std::string& runtime_dir, const std::string& log,
             const std::vector<std::string>& extra = {});
    ~SimChild();  // SIGKILL and reap, if still running
    SimChild(const SimChild&) = delete;
    SimChild& operator=(const SimChild&) = delete;

    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }

    // Sends `sig` and waits (bounded) for the exit; returns the exit status
    // as wait_for_exit reports it.
    int kill_and_wait(int sig);

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool ready_ = false;
};

// The messages a sgsim log holds, one per line.
std::vector<std::string> read_log(const std::string& path);

// Waits, at most `bound`, until the log at `path` holds `n` lines; blocks on
// inotify events of the file between looks.
bool wait_for_log_lines(const std::string& path, std::size_t n, std::chrono::milliseconds bound);

}  // namespace sgfault
