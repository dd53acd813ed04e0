// The key wait: blocks until the operator presses one key on the console
// keyboard and discards that key.
#pragma once

#include <string>

class KeyWait {
  public:
    virtual ~KeyWait() = default;
    virtual void wait_for_key() = 0;
};

// The key wait on a Unix terminal. Reads the terminal itself (the controlling
// terminal by default), never standard input, so nothing left over from the
// serial-number line satisfies it; a key pressed before the wait began does.
//
// During the wait the terminal is non-canonical (no Enter needed), without
// echo, with signal characters and output flow control off, so Ctrl-C, Ctrl-Z,
// Ctrl-S and Ctrl-Q are ordinary key presses. A key that sends several bytes
// (arrow and function keys, a UTF-8 character) counts once. The terminal's
// settings are restored afterwards, also when SIGTERM or SIGHUP ends the
// process during the wait. Without a terminal the wait returns at once; a
// terminal that hangs up ends it.
//
// With a `stop_fd` (the program's stop, run_stop.h) the wait also ends when
// that descriptor becomes readable, and leaves SIGTERM and SIGHUP to the
// program's handlers, which turn them into that stop.
class TerminalKeyWait final : public KeyWait {
  public:
    explicit TerminalKeyWait(std::string tty_path = "/dev/tty", int stop_fd = -1);
    void wait_for_key() override;

  private:
    std::string tty_path_;
    int stop_fd_;
};

// The key wait on a Windows console: the C runtime's _getch, which reads the
// console's keyboard (CONIN$) whatever standard input is, needs no Enter and
// does not echo; a key pressed before the wait began counts. A key that sends
// two codes (a 0 or 0xE0 prefix and its code: arrow, function and editing
// keys) counts once. Ctrl-C and Ctrl-Break at a wait are key presses and do
// not end the process. The console's input mode is restored afterwards.
// Without a console (none attached, e.g. a program started detached with its
// input redirected) the wait returns at once.
class ConsoleKeyWait final : public KeyWait {
  public:
    void wait_for_key() override;
};
