#include "program_run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "session_driver.h"

namespace recording {
namespace {

// Standard input for the program: serves `input` and notes what was on the
// screen when the program first read from it.
struct InputCookie {
    std::string input;
    std::size_t pos = 0;
    const Screen* screen = nullptr;
    bool read_yet = false;
    std::string screen_at_read;
};

ssize_t cookie_read(void* c, char* buf, size_t size) {
    auto* cookie = static_cast<InputCookie*>(c);
    if (!cookie->read_yet) {
        cookie->read_yet = true;
        cookie->screen_at_read = cookie->screen->flushed();
    }
    const std::size_t n = std::min(size, cookie->input.size() - cookie->pos);
    std::memcpy(buf, cookie->input.data() + cookie->pos, n);
    cookie->pos += n;
    return static_cast<ssize_t>(n);
}

}  // namespace

Run run_program(const std::string& input, Script script) {
    Run run;
    Screen screen;
    if (!screen.file()) {
        ADD_FAILURE() << "fopencookie failed";
        return run;
    }
    InputCookie cookie{input, 0, &screen, false, {}};
    cookie_io_functions_t io{};
    io.read = cookie_read;
    std::FILE* in = ::fopencookie(&cookie, "r", io);
    if (!in) {
        ADD_FAILURE() << "fopencookie failed";
        return run;
    }

    reset(std::move(script), &screen);
    RecordingKeyWait keys;
    run.exit_status = run_session(in, screen.file(), keys);
    run.on_screen = screen.flushed();
    run.transcript = screen.all();
    run.screen_at_read = cookie.screen_at_read;

    int c;
    while ((c = std::fgetc(in)) != EOF)
        run.input_left.push_back(static_cast<char>(c));
    std::fclose(in);
    return run;
}

}  // namespace recording
