// What a run prints at its end: the violations by invariant, the calls by
// status, and the reports the processes wrote.
#pragma once

#include <cstdint>
#include <string>

#include "board.h"
#include "options.h"

namespace torture {

void print_summary(const Board& board, const std::string& work_dir, const Options& options,
                   int rounds, std::uint32_t workers, int kills);

// The violation reports of the run's directory, oldest process first.
void print_reports(const std::string& work_dir);

}  // namespace torture
