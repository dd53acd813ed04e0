#include "command_script.h"

#include "console.h"

namespace {

// Sends one command: the command text and its linefeed are the whole format,
// so the bytes sent are exactly those (no command contains a percent sign).
void send(ViSession vi, const char* command_with_lf) {
    viPrintf(vi, command_with_lf);
}

// Sends a query and prints its reply as read, without adding a line end.
void query(ViSession vi, const char* command_with_lf, TextBuffer& buffer, std::FILE* out) {
    // The width bounds the stored reply to 63 characters and the terminator.
    // The buffer is emptied first and terminated after, so that a failed
    // query prints an empty (or partial) but always terminated string.
    static_assert(kTextBufferSize == 64, "the read format's width is the buffer size less one");
    buffer[0] = '\0';
    viQueryf(vi, command_with_lf, "%63T", buffer);
    buffer[kTextBufferSize - 1] = '\0';
    print_now(out, buffer);
}

void pause_for_operator(std::FILE* out, KeyWait& keys) {
    print_line(out, "press any key to continue...");
    keys.wait_for_key();
}

}  // namespace

void run_command_script(ViSession vi, TextBuffer& buffer, std::FILE* out, KeyWait& keys) {
    // RF phase.
    send(vi, "*RST\n");
    print_now(out, "IDN: ");
    query(vi, "*IDN?\n", buffer, out);
    print_line(out, "setting frequency to 1 GHz");
    send(vi, "FREQ 1 GHz\n");
    print_line(out, "setting power to 1 dBm");
    send(vi, "POW 1\n");
    print_line(out, "power on");
    send(vi, "OUTPut:STATe ON\n");
    query(vi, "SYSTem:ERRor?\n", buffer, out);

    pause_for_operator(out, keys);

    // LF phase.
    print_line(out, "switch LF generator and setting shape SINE");
    send(vi, "LFO:FUNC:SHAP SIN\n");
    print_line(out, "setting frequency to 9 kHz");
    send(vi, "LFO:FUNC:FREQ 9 kHz\n");
    print_line(out, "setting amplitude 3 V");
    send(vi, "LFO:AMP 3\n");
    send(vi, "*RST\n");
}
