// The program's main flow: resource manager, serial number, connection,
// command script, disconnection, exit prompt.
#pragma once

#include <cstdio>

#include "key_wait.h"
#include "run_stop.h"

// Runs the program once: reads the serial number from `in`, talks to the
// console through `out` and `keys`, and returns the exit status (always 0).
int run_session(std::FILE* in, std::FILE* out, KeyWait& keys);

// The same, ended early by `stop` (run_stop.h): the dialogue stops where
// the stop finds it, the generator gets the final reset if the dialogue had
// begun, the sessions are closed and the run returns 0; the caller then ends
// the process by `stop.signal()`.
int run_session(std::FILE* in, std::FILE* out, KeyWait& keys, RunStop& stop);
