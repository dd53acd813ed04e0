// Reports a violation of an invariant from a worker or probe process: the
// invariant, what was seen, the seed and the command that runs it again,
// and the last calls of every thread of the process, in a file of the run's
// directory that the supervisor prints. Unless the run goes on after
// violations, the process then ends with kExitViolation.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "board.h"
#include "call_log.h"
#include "options.h"

namespace torture {

// How the processes of a run end, besides 0.
inline constexpr int kExitViolation = 41;
inline constexpr int kExitHang = 42;
inline constexpr int kExitSetup = 43;

class Reporter {
  public:
    Reporter(const Options& options, Board& board, std::string work_dir, std::string process);

    // The thread logs the report shows (they outlive the reporter's use).
    void add_log(const CallLog* log);

    // Writes the report; ends the process with `exit_code` unless the run
    // keeps going (a hang always ends it: the hung call never returns).
    // Going on, it writes the first few reports of each invariant and
    // counts the rest.
    void violation(const std::string& invariant, const std::string& detail, const CallLog* where,
                   int exit_code = kExitViolation);

  private:
    const Options& options_;
    Board& board_;
    std::string work_dir_;
    std::string process_;
    std::mutex mutex_;
    std::vector<const CallLog*> logs_;
    std::map<std::string, int> seen_;  // violations of each invariant so far
    int written_ = 0;
};

}  // namespace torture
