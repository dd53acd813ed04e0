// The run: starts the simulated instruments on a private bus directory,
// forks the worker processes, and runs rounds. During a round it kills a
// worker now and then (SIGKILL to its process group, in the middle of
// whatever it does); at the end of each it pauses the workers (each checks
// itself for leaks), reaps the killed, lets the probe check that nothing
// stayed locked, replaces the killed with new workers, and resumes. At the
// end it prints the violations found with the seed, and a summary.
#pragma once

#include "options.h"

namespace torture {

// Returns the process's exit status: 0 when no invariant was violated.
int run_supervisor(Options options);

}  // namespace torture
