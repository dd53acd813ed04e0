// Runs the program's session driver in-process against the recording VISA
// stand-in, with a given standard input and a recorded console.
#pragma once

#include <string>

#include "recording_visa.h"

namespace recording {

struct Run {
    std::string transcript;      // everything printed
    std::string on_screen;       // what had been flushed when the run returned
    std::string screen_at_read;  // what was on the screen when the program first read input
    int exit_status = -1;
    std::string input_left;  // what the program left unread on its input
};

Run run_program(const std::string& input, Script script = {});

}  // namespace recording
