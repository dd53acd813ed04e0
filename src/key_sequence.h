// Which bytes from a terminal belong to one key press.
#pragma once

#include <chrono>

// Keys such as arrows and function keys send an escape sequence, and a
// non-ASCII character arrives as several UTF-8 bytes. KeySequence is fed the
// bytes of one key press as they arrive and says when the key is complete.
// The bytes of a key arrive together, so the reader waits for the rest of an
// unfinished key only for kKeyRestWindow; a lone ESC is the Escape key.
class KeySequence {
  public:
    static constexpr std::chrono::milliseconds kKeyRestWindow{50};

    // Adds the next byte of the key. Returns true when the key is complete.
    bool add(unsigned char byte);
    bool complete() const { return state_ == State::Done; }

  private:
    enum class State {
        Start,       // no byte yet
        Escape,      // ESC seen
        Csi,         // ESC [ and parameter or intermediate bytes
        CsiBracket,  // ESC [ [ (Linux console F1 to F5): one more byte
        Ss3,         // ESC O: one more byte
        Utf8,        // a UTF-8 lead byte: continuation bytes to come
        Done,
    };
    State state_ = State::Start;
    int utf8_left_ = 0;
    bool csi_started_ = false;
};
