// Runs a program in a new pseudo-terminal, as an operator would in a terminal
// window: the pseudo-terminal is the program's standard input, output, error
// and controlling terminal (/dev/tty). The test types bytes, waits (bounded)
// for text on the screen, and waits (bounded) for the exit.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "child_process.h"
#include "pseudo_terminal.h"

namespace sgtest {

struct PtyOptions {
    std::vector<std::string> args;                         // argv[1] and on
    std::vector<std::pair<std::string, std::string>> env;  // added to (or replacing in) ours
    unsigned short rows = 24;
    unsigned short cols = 80;
};

class PtySession {
  public:
    // Starts `program`. On failure started() is false and error() says why.
    // A program still running at the end is killed (SIGKILL) and reaped.
    explicit PtySession(const std::string& program, const PtyOptions& options = {});

    bool started() const { return child_.started(); }
    const std::string& error() const { return error_; }
    pid_t pid() const { return child_.pid(); }

    // Types `bytes` on the terminal's keyboard (Enter is "\r").
    bool send(std::string_view bytes) { return terminal_.send(bytes); }

    // The screen, as PseudoTerminal reads it: wait_for(text) and the output
    // after the match, wait_for_flow_control(on) to tell that the program
    // now waits for a key.
    bool wait_for(std::string_view text, std::chrono::milliseconds bound) {
        return terminal_.wait_for(text, bound);
    }
    bool wait_for_flow_control(bool on, std::chrono::milliseconds bound) {
        return terminal_.wait_for_flow_control(on, bound);
    }
    const std::string& output() const { return terminal_.output(); }
    std::string output_after_match() const { return terminal_.output_after_match(); }

    // Waits at most `bound` for the program to exit, collecting its output to
    // the end. Returns its exit status (0..255), 128+signal when a signal
    // ended it, or -1 when it could not be reaped. When the bound passes the
    // program is killed with SIGKILL and timed_out() is true.
    int wait_exit(std::chrono::milliseconds bound);
    bool timed_out() const { return child_.timed_out(); }
    bool exited() const { return child_.reaped(); }

    // The terminal's settings before the program started, and now.
    const termios& settings_at_start() const { return settings_at_start_; }
    termios settings() const { return terminal_.settings(); }

  private:
    PseudoTerminal terminal_;  // outlives the child: the child goes first
    ChildProcess child_;
    std::string error_;
    termios settings_at_start_{};
};

}  // namespace sgtest
