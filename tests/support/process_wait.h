// Waiting for a child process with a bound.
#pragma once

#include <sys/types.h>

#include <chrono>

namespace sgtest {

// Waits for `pid` to exit, at most `bound`; kills it with SIGKILL when the
// bound passes. Returns its exit status (0..255), 128+signal when a signal
// ended it, or -1 when it could not be reaped.
int wait_for_exit(pid_t pid, std::chrono::milliseconds bound);

}  // namespace sgtest
