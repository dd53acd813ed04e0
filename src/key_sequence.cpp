#include "key_sequence.h"

namespace {

constexpr unsigned char kEsc = 0x1b;

// Number of continuation bytes that follow a UTF-8 lead byte; 0 for a byte
// that is a character of its own (ASCII, or a stray byte).
int utf8_continuations(unsigned char lead) {
    if ((lead & 0xE0) == 0xC0)
        return 1;
    if ((lead & 0xF0) == 0xE0)
        return 2;
    if ((lead & 0xF8) == 0xF0)
        return 3;
    return 0;
}

}  // namespace

bool KeySequence::add(unsigned char byte) {
    switch (state_) {
        case State::Start:
            if (byte == kEsc) {
                state_ = State::Escape;
            } else if ((utf8_left_ = utf8_continuations(byte)) > 0) {
                state_ = State::Utf8;
            } else {
                state_ = State::Done;
            }
            break;
        case State::Escape:
            // ESC [ opens a control sequence, ESC O a single-shift sequence;
            // ESC followed by anything else is Alt with that key.
            if (byte == '[') {
                state_ = State::Csi;
            } else if (byte == 'O') {
                state_ = State::Ss3;
            } else {
                state_ = State::Done;
            }
            break;
        case State::Csi:
            if (byte == '[' && !csi_started_) {
                state_ = State::CsiBracket;
            } else if (byte >= 0x20 && byte <= 0x3F) {
                csi_started_ = true;  // parameter or intermediate byte
            } else {
                state_ = State::Done;  // final byte (or a malformed one)
            }
            break;
        case State::Utf8:
            if ((byte & 0xC0) != 0x80 || --utf8_left_ == 0) {
                state_ = State::Done;
            }
            break;
        case State::CsiBracket:
        case State::Ss3:
            state_ = State::Done;
            break;
        case State::Done:
            break;
    }
    return complete();
}
