// The simulated generator's command line.
#pragma once

#include <optional>
#include <string>

#include "usbtmc_device.h"

namespace sgsim {

struct SimOptions {
    std::string serial = "SIM001";
    std::string log_path;  // empty: no log
    DeviceFaults faults;
    std::optional<std::string> idn;
    bool no_newline = false;
    std::string gadget_dir;  // empty: serve on the local bus
    bool io_test = false;    // the I/O test instrument instead of the generator
};

// Parses argv[1..argc-1]. False, with a one-line reason in `error`, when an
// option is unknown, lacks its value or has a bad value.
bool parse_sim_options(int argc, const char* const* argv, SimOptions& out, std::string& error);

// The usage text, ending in a linefeed.
std::string sim_usage();

}  // namespace sgsim
