// Runs a program with no controlling terminal (in a new session, as setsid
// does), its standard input from a pipe and its output collected, the way a
// script runs it unattended.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace sgtest {

struct Unattended {
    std::string output;  // standard output and standard error, interleaved
    int status = -1;     // as ChildProcess::exit_code() reports it
};

// Starts `program` with `args` and XDG_RUNTIME_DIR=`runtime_dir`, writes
// `input` to its standard input and closes it, and collects its output until
// it exits; at most `bound` for the output and again for the exit.
Unattended run_without_terminal(const std::string& program, const std::string& input,
                                const std::string& runtime_dir, std::chrono::milliseconds bound,
                                const std::vector<std::string>& args = {});

}  // namespace sgtest
