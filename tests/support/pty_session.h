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
    explicit PtySession(const std::string& program, const PtyOptions& options = {});
    // Kills (SIGKILL) and reaps a program still running.
    ~PtySession();
    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;

    bool started() const { return pid_ > 0; }
    const std::string& error() const { return error_; }
    pid_t pid() const { return pid_; }

    // Types `bytes` on the terminal's keyboard (Enter is "\r").
    bool send(std::string_view bytes);

    // Waits at most `bound` until the screen output after the previous match
    // contains `text`; on success the next search starts after it.
    bool wait_for(std::string_view text, std::chrono::milliseconds bound);

    // Waits at most `bound` until the program switches the terminal's output
    // flow control (IXON) off (`on` false) or on again, as reported by the
    // pseudo-terminal; each report satisfies one wait. A program that puts the
    // terminal into a raw key mode turns IXON off, so this tells the test that
    // the program is now waiting for a key.
    bool wait_for_flow_control(bool on, std::chrono::milliseconds bound);

    // Everything the program has put on the screen so far, as the terminal
    // shows it (its line ends are "\r\n"); and the part after the last match.
    const std::string& output() const { return output_; }
    std::string output_after_match() const { return output_.substr(match_end_); }

    // Waits at most `bound` for the program to exit, collecting its output to
    // the end. Returns its exit status (0..255), 128+signal when a signal
    // ended it, or -1 when it could not be reaped. When the bound passes the
    // program is killed with SIGKILL and timed_out() is true.
    int wait_exit(std::chrono::milliseconds bound);
    bool timed_out() const { return timed_out_; }
    bool exited() const { return reaped_; }

    // The terminal's settings before the program started, and now.
    const termios& settings_at_start() const { return settings_at_start_; }
    termios settings() const;

  private:
    // Reads what the terminal has, waiting at most until `deadline`. False
    // when nothing came (timeout, or end of output).
    bool read_some(std::chrono::steady_clock::time_point deadline);
    void take_packet(const char* data, std::size_t n);
    int reap(bool kill_first);

    pid_t pid_ = -1;
    int master_ = -1;
    int pidfd_ = -1;
    std::string slave_path_;
    std::string error_;
    std::string output_;
    std::size_t match_end_ = 0;
    int flow_off_reports_ = 0;
    int flow_on_reports_ = 0;
    bool eof_ = false;
    bool reaped_ = false;
    bool timed_out_ = false;
    int exit_status_ = -1;
    termios settings_at_start_{};
};

// Compares the settings a program can change: the input, output, control and
// local mode flags and the control characters.
bool same_terminal_settings(const termios& a, const termios& b);

// Describes the difference between two settings, for failure messages.
std::string describe_settings_difference(const termios& before, const termios& after);

}  // namespace sgtest
