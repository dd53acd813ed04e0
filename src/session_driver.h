// The program's main flow: resource manager, serial number, connection,
// command script, disconnection, exit prompt.
#pragma once

#include <cstdio>

#include "key_wait.h"

// Runs the program once: reads the serial number from `in`, talks to the
// console through `out` and `keys`, and returns the exit status (always 0).
int run_session(std::FILE* in, std::FILE* out, KeyWait& keys);
