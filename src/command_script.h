// The fixed dialogue with the signal generator once it is open: the RF phase,
// a pause for the operator, the LF phase.
#pragma once

#include <cstdio>

#include "key_wait.h"
#include "run_stop.h"
#include "text_buffer.h"
#include "visa.h"

// Sends the ten commands to the instrument session `vi`, announcing each
// setting on `out` before its command, and prints the two query replies as
// read into `buffer`. Between the phases it prints the pause prompt and waits
// for one key on `keys`. No status is examined: every step runs.
void run_command_script(ViSession vi, TextBuffer& buffer, std::FILE* out, KeyWait& keys);

// The same, ended early by a stop (run_stop.h): once `stop` is requested no
// further step runs (nothing more is sent or printed); the caller sends the
// final reset.
void run_command_script(ViSession vi, TextBuffer& buffer, std::FILE* out, KeyWait& keys,
                        RunStop& stop);

// The script's last command: it leaves the generator with its RF output off.
inline constexpr const char* kFinalReset = "*RST\n";
