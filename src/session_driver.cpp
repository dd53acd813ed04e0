#include "session_driver.h"

#include <clocale>

#include "command_script.h"
#include "console.h"
#include "text_buffer.h"
#include "visa.h"

namespace {

constexpr ViUInt32 kOpenTimeoutMs = 5000;

// After a stop that closed the session, how long the fresh session for the
// final reset waits for the generator (its lock went with the close).
constexpr ViUInt32 kResetOpenTimeoutMs = 2000;

// 22 fixed characters, at most 63 of serial number, 10 fixed and the terminator.
constexpr std::size_t kResourceNameSize = 96;

// Reads one white-space-delimited token of at most 63 characters: leading
// white space, line ends included, is skipped. The rest of the line (and of a
// longer token) is left unread in `in`, as with any token. When the input
// ends before a token, the serial number is empty.
void read_serial_number(std::FILE* in, TextBuffer& buffer) {
    static_assert(kTextBufferSize == 64, "the scan width is the buffer size less one");
    buffer[0] = '\0';
    if (std::fscanf(in, "%63s", buffer) != 1)
        buffer[0] = '\0';
}

// After a stop during the dialogue: the script's final reset, on `vi`, or on
// a fresh session when the stop closed `vi` to end its operation.
void reset_after_stop(ViSession rm, ViSession vi, const char* resource_name) {
    if (viPrintf(vi, kFinalReset) != VI_ERROR_INV_OBJECT)
        return;
    ViSession again = VI_NULL;
    if (viOpen(rm, resource_name, VI_EXCLUSIVE_LOCK, kResetOpenTimeoutMs, &again) < VI_SUCCESS)
        return;
    viPrintf(again, kFinalReset);
    viClose(again);
}

}  // namespace

int run_session(std::FILE* in, std::FILE* out, KeyWait& keys) {
    RunStop never;
    return run_session(in, out, keys, never);
}

int run_session(std::FILE* in, std::FILE* out, KeyWait& keys, RunStop& stop) {
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    TextBuffer buffer{};
    char resource_name[kResourceNameSize]{};

    viOpenDefaultRM(&rm);
    std::setlocale(LC_ALL, "Russian");  // absent on most systems; then nothing changes

    print_now(out, "Enter serial number: ");
    if (stop.reading_input())
        read_serial_number(in, buffer);
    std::snprintf(resource_name, sizeof resource_name, "USB0::0x4d19::0x0040::%s::0::INSTR",
                  buffer);

    const ViStatus open_status =
        stop.opening(rm) ? viOpen(rm, resource_name, VI_EXCLUSIVE_LOCK, kOpenTimeoutMs, &vi)
                         : VI_ERROR_ABORT;
    stop.idle();
    if (stop.requested()) {
        // Nothing was sent: the session, if the open made one, just goes.
        viClose(vi);
    } else if (open_status != VI_SUCCESS) {
        // Also a positive completion code: closing the resource manager below
        // ends whatever session the open created.
        print_line(out, "Connection error!");
    } else {
        std::fprintf(out, "Connect to %s\n", resource_name);
        std::fflush(out);
        run_command_script(vi, buffer, out, keys, stop);
        if (stop.requested())
            reset_after_stop(rm, vi, resource_name);
        viClose(vi);
    }

    viClose(rm);
    if (!stop.requested())
        print_line(out, "press any key to exit...");
    if (stop.waiting_for_key())
        keys.wait_for_key();
    stop.idle();
    return 0;
}
