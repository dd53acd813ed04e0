// The torture test's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace torture {

struct Options {
    std::uint64_t seed = 0;
    bool seed_given = false;
    int seconds = 45;         // the whole run, rounds included
    int round_seconds = 5;    // between two pauses (leak check, lock probe)
    int processes = 3;        // worker processes alive at a time
    int threads = 4;          // operation threads per worker
    int kill_percent = 40;    // chance per round that one worker is killed mid-run
    int fork_percent = 2;     // share of operations that fork a child
    int slack_ms = 1500;      // what a call may take beyond its own bound
    bool keep_going = false;  // report every violation instead of stopping at the first
    bool verbose = false;
    std::string work_dir;               // empty: a new temporary directory
    std::vector<std::string> sim_args;  // extra arguments for every simulated instrument

    // The command line that runs this again (with the seed).
    std::string rerun_command() const;
};

// Parses argv into `out`; false with a message in `error` (or for --help,
// with the usage in `error` and `help` set).
bool parse_options(int argc, char** argv, Options& out, std::string& error, bool& help);

std::string usage();

}  // namespace torture
