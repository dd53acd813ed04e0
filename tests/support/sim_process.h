// Runs the built simulated generator (sgsim) as a child process on a private
// bus directory, for tests that drive it from outside.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "child_process.h"

namespace sgtest {

class SimProcess {
  public:
    // Starts `sgsim --serial <serial> --log <dir>/received.log <extra...>` with
    // XDG_RUNTIME_DIR=<runtime_dir> and waits (bounded) for its ready line.
    // A simulator still running at the end is killed and reaped.
    SimProcess(const std::string& runtime_dir, const std::string& serial,
               const std::vector<std::string>& extra_args = {});

    // True once the ready line naming the resource arrived.
    bool ready() const { return ready_; }
    const std::string& ready_line() const { return ready_line_; }

    // The messages received so far, one per element, as the log writes them.
    std::vector<std::string> received() const;

    // Sends SIGTERM and waits (bounded) for the exit; returns what it printed
    // after the ready line (its final settings). exit_status() is then valid.
    std::string stop();
    int exit_status() const { return child_.exit_code(); }
    pid_t pid() const { return child_.pid(); }

  private:
    ChildProcess child_;
    bool ready_ = false;
    std::string ready_line_;
    std::string pending_;  // stdout read past the ready line
    std::string log_path_;
};

}  // namespace sgtest
