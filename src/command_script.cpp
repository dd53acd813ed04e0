#include "command_script.h"

#include "console.h"

namespace {

// A stop (run_stop.h) skips every step from the one it comes before: each
// helper below does nothing once it was requested.

// Sends one command: the command text and its linefeed are the whole format,
// so the bytes sent are exactly those (no command contains a percent sign).
void send(ViSession vi, const char* command_with_lf, RunStop& stop) {
    if (stop.talking(vi))
        viPrintf(vi, command_with_lf);
}

void say(std::FILE* out, const char* text, RunStop& stop) {
    if (!stop.requested())
        print_line(out, text);
}

// Sends a query and prints its reply as read, without adding a line end.
void query(ViSession vi, const char* command_with_lf, TextBuffer& buffer, std::FILE* out,
           RunStop& stop) {
    if (!stop.talking(vi))
        return;
    // The width bounds the stored reply to 63 characters and the terminator.
    // The buffer is emptied first and terminated after, so that a failed
    // query prints an empty (or partial) but always terminated string.
    static_assert(kTextBufferSize == 64, "the read format's width is the buffer size less one");
    buffer[0] = '\0';
    viQueryf(vi, command_with_lf, "%63T", buffer);
    buffer[kTextBufferSize - 1] = '\0';
    if (!stop.requested())  // a reply the stop cut short is not shown
        print_now(out, buffer);
}

void pause_for_operator(std::FILE* out, KeyWait& keys, RunStop& stop) {
    say(out, "press any key to continue...", stop);
    if (stop.waiting_for_key())
        keys.wait_for_key();
}

}  // namespace

void run_command_script(ViSession vi, TextBuffer& buffer, std::FILE* out, KeyWait& keys) {
    RunStop never;
    run_command_script(vi, buffer, out, keys, never);
}

void run_command_script(ViSession vi, TextBuffer& buffer, std::FILE* out, KeyWait& keys,
                        RunStop& stop) {
    // RF phase.
    send(vi, "*RST\n", stop);
    if (!stop.requested())
        print_now(out, "IDN: ");
    query(vi, "*IDN?\n", buffer, out, stop);
    say(out, "setting frequency to 1 GHz", stop);
    send(vi, "FREQ 1 GHz\n", stop);
    say(out, "setting power to 1 dBm", stop);
    send(vi, "POW 1\n", stop);
    say(out, "power on", stop);
    send(vi, "OUTPut:STATe ON\n", stop);
    query(vi, "SYSTem:ERRor?\n", buffer, out, stop);

    pause_for_operator(out, keys, stop);

    // LF phase.
    say(out, "switch LF generator and setting shape SINE", stop);
    send(vi, "LFO:FUNC:SHAP SIN\n", stop);
    say(out, "setting frequency to 9 kHz", stop);
    send(vi, "LFO:FUNC:FREQ 9 kHz\n", stop);
    say(out, "setting amplitude 3 V", stop);
    send(vi, "LFO:AMP 3\n", stop);
    send(vi, kFinalReset, stop);
    stop.idle();
}
