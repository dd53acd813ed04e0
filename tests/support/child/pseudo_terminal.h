// A pseudo-terminal owned by a test: a keyboard to type on, a screen to read,
// and the terminal's settings, for a program running in it (a ChildProcess
// with it as its terminal) or a terminal wait inside the test process.
#pragma once

#include <termios.h>

#include <chrono>
#include <string>
#include <string_view>

namespace sgtest {

class PseudoTerminal {
  public:
    // Opens the master side in packet mode (so that it reports when the
    // terminal's output flow control is switched off or on) and keeps a slave
    // descriptor, so the terminal persists while no one else has it open.
    explicit PseudoTerminal(unsigned short rows = 24, unsigned short cols = 80);
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool ok() const { return master_ >= 0 && !slave_path_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& slave_path() const { return slave_path_; }
    int master() const { return master_; }
    // Our slave descriptor, to hand to a child; once closed (after the
    // start), the screen ends (end of file) when the last program in the
    // terminal closes it.
    int slave() const { return slave_; }
    void close_slave();

    // Types `bytes` on the terminal's keyboard (Enter is "\r").
    bool send(std::string_view bytes);

    // Waits at most `bound` until the screen output after the previous match
    // contains `text`; on success the next search starts after it.
    bool wait_for(std::string_view text, std::chrono::milliseconds bound);

    // Waits at most `bound` until the terminal's output flow control (IXON)
    // is switched off (`on` false) or on again, as the pseudo-terminal
    // reports it; each report satisfies one wait. A program that puts the
    // terminal into a raw key mode turns IXON off, so this tells the test
    // that the program is now waiting for a key. Screen output read meanwhile
    // is kept.
    bool wait_for_flow_control(bool on, std::chrono::milliseconds bound);

    // Reads what the terminal has, waiting at most until `deadline`. False
    // when nothing came (the deadline, or the end of the screen).
    bool read_some(std::chrono::steady_clock::time_point deadline);
    bool at_end() const { return eof_; }

    // Everything put on the screen so far, as the terminal shows it (its line
    // ends are "\r\n"); and the part after the last match.
    const std::string& output() const { return output_; }
    std::string output_after_match() const { return output_.substr(match_end_); }

    // Bytes typed but not yet read by anyone.
    int pending_input() const;
    termios settings() const;
    bool set_settings(const termios& t);

    // Hangs the terminal up: readers of the slave get end of file or EIO.
    void hang_up();

  private:
    void take_packet(const char* data, std::size_t n);

    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
    std::string error_;
    std::string output_;
    std::size_t match_end_ = 0;
    int flow_off_reports_ = 0;
    int flow_on_reports_ = 0;
    bool eof_ = false;
};

// Compares the settings a program can change: the input, output, control and
// local mode flags and the control characters.
bool same_terminal_settings(const termios& a, const termios& b);

// Describes the difference between two settings, for failure messages.
std::string describe_settings_difference(const termios& before, const termios& after);

}  // namespace sgtest
