// The invariant that a killed process leaves nothing locked: between
// rounds, with every worker paused (each has closed all its sessions) and
// the killed ones reaped, a fresh process opens each instrument with
// VI_EXCLUSIVE_LOCK within a bound, and finds it answering after a device
// clear (a killed worker may have left it in the middle of a sequence).
#pragma once

#include <string>
#include <vector>

#include "board.h"
#include "options.h"
#include "worker.h"

namespace torture {

// Forks the probe (closing `foreign_fds` in it) and waits for it within
// its bound: "" when it ended well, else what went wrong (its violations
// are reported as any process's).
std::string probe_instruments(const Options& options, Board& board, const std::string& work_dir,
                              const std::vector<Instrument>& instruments, std::int64_t run_start_ns,
                              int round, const std::vector<int>& foreign_fds);

}  // namespace torture
