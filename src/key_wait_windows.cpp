#include "key_wait.h"

#include <conio.h>
#include <windows.h>

namespace {

// What the console does with input between key presses, off during a wait:
// Ctrl-C handling, line editing up to Enter, and echo.
constexpr DWORD kInputProcessing = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;

// The console input, for the control handler, which runs on a thread of its
// own. Written before the handler is installed and read only while it is.
HANDLE g_console_input = INVALID_HANDLE_VALUE;

// Puts a Ctrl-C key press into the console input, where the waiting _getch
// reads it as the key (code 3) it is when input processing is off.
void put_interrupt_key() {
    INPUT_RECORD record{};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = TRUE;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.wVirtualKeyCode = 'C';
    record.Event.KeyEvent.uChar.UnicodeChar = 3;
    record.Event.KeyEvent.dwControlKeyState = LEFT_CTRL_PRESSED;
    DWORD written = 0;
    WriteConsoleInputW(g_console_input, &record, 1, &written);
}

// With input processing off a Ctrl-C reaches _getch as a key; an interrupt
// that still arrives as a control event (Ctrl-Break, or a console that
// raises it anyway) is turned into that key here, so that it ends the wait
// and not the process. Other events (console closed) take their usual course.
BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    put_interrupt_key();
    return TRUE;
}

// Key mode for the length of one wait: the console's input processing off
// and the control handler above in place. Both go back on destruction.
class KeyModeGuard {
  public:
    KeyModeGuard(HANDLE input, DWORD saved) : input_(input), saved_(saved) {
        g_console_input = input;
        SetConsoleMode(input, saved & ~kInputProcessing);
        SetConsoleCtrlHandler(on_console_event, TRUE);
    }

    ~KeyModeGuard() {
        SetConsoleCtrlHandler(on_console_event, FALSE);
        SetConsoleMode(input_, saved_);
    }

    KeyModeGuard(const KeyModeGuard&) = delete;
    KeyModeGuard& operator=(const KeyModeGuard&) = delete;

  private:
    HANDLE input_;
    DWORD saved_;
};

class HandleCloser {
  public:
    explicit HandleCloser(HANDLE handle) : handle_(handle) {}
    ~HandleCloser() { CloseHandle(handle_); }
    HandleCloser(const HandleCloser&) = delete;
    HandleCloser& operator=(const HandleCloser&) = delete;

  private:
    HANDLE handle_;
};

void read_one_key() {
    const int code = _getch();
    // Arrow, function and editing keys come as two codes: a prefix, then the
    // key's own code, which _getch hands out on the next call.
    if (code == 0 || code == 0xE0)
        _getch();
}

}  // namespace

void ConsoleKeyWait::wait_for_key() {
    // The console's own input, not standard input (which may be redirected).
    const HANDLE input =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE)
        return;  // no console attached: nobody to wait for
    HandleCloser closer(input);
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode))
        return;  // not a console
    KeyModeGuard key_mode(input, mode);
    read_one_key();
}
