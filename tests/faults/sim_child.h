// sgsim as a child process the test can kill with any signal (SIGKILL to
// make the generator vanish) and start again on the same bus directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "child_process.h"

namespace sgfault {

class SimChild {
  public:
    // Starts `sgsim --serial SIM001 --log <log> <extra...>` with
    // XDG_RUNTIME_DIR=<runtime_dir>; waits (bounded) for its ready line. A
    // simulator still running at the end is killed (SIGKILL) and reaped.
    SimChild(const std::string& runtime_dir, const std::string& log,
             const std::vector<std::string>& extra = {});

    bool ready() const { return ready_; }
    pid_t pid() const { return child_.pid(); }

    // Sends `sig` and waits (bounded) for the exit; returns the exit status
    // as ChildProcess::exit_code() reports it.
    int kill_and_wait(int sig);

  private:
    sgtest::ChildProcess child_;
    bool ready_ = false;
};

// The messages a sgsim log holds, one per line.
std::vector<std::string> read_log(const std::string& path);

// Waits, at most `bound`, until the log at `path` holds `n` lines; blocks on
// inotify events of the file between looks.
bool wait_for_log_lines(const std::string& path, std::size_t n, std::chrono::milliseconds bound);

}  // namespace sgfault
