// A pseudo-terminal pair inside the test process, for exercising the terminal
// key wait on a terminal the test controls.
#pragma once

#include <termios.h>

#include <chrono>
#include <string>
#include <string_view>

namespace ptytest {

class PtyPair {
  public:
    // Opens the master in packet mode (so that it reports when the terminal's
    // output flow control is switched off or on) and keeps one slave
    // descriptor open, so the terminal persists while no one else has it open.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    const std::string& slave_path() const { return slave_path_; }

    // Types `bytes` on the terminal's keyboard.
    bool type(std::string_view bytes);

    // Waits at most `bound` until the terminal's flow control (IXON) has been
    // switched off (`on` false) or on. Screen output read meanwhile is kept.
    bool wait_for_flow_control(bool on, std::chrono::milliseconds bound);

    // Bytes typed but not yet read by anyone.
    int pending_input() const;

    termios settings() const;
    bool set_settings(const termios& t);

    // Hangs the terminal up: readers of the slave get end of file or EIO.
    void hang_up();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
    std::string screen_;
};

bool same_settings(const termios& a, const termios& b);

}  // namespace ptytest
