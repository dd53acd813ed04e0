// The simulated generator's command line.
#pragma once

#include <optional>
#include <string>

#include "device/usbtmc_device.h"

namespace sgsim {

struct SimOptions {
    std::string serial = "SIM001";
    std::string log_path;     // empty: no log
    std::string record_path;  // empty: no record of settings (settings_record.h)
    DeviceFaults faults;
    std::optional<std::string> idn;
    bool no_newline = false;
    std::string gadget_dir;  // empty: serve on the local bus
    bool io_test = false;    // the I/O test instrument instead of the generator
    // --lan [ADDR]: serve the instrument on the LAN too (sim/network), on
    // `lan_address` (IPv4; loopback unless told) and these ports.
    bool lan = false;
    std::string lan_address = "127.0.0.1";
    unsigned portmap_port = 111;
    unsigned vxi11_port = 0;  // 0: the kernel picks
    unsigned socket_port = 5025;
    unsigned hislip_port = 4880;
    // The mDNS responder (network/mdns_responder.h) advertises the LAN
    // services when `lan_address` is on an interface with multicast (or
    // 0.0.0.0), unless --no-mdns.
    bool mdns = true;
    bool help = false;     // --help: print sim_help() and exit
    bool version = false;  // --version: print sim_version() and exit
};

// Parses argv[1..argc-1]. False, with a one-line reason in `error`, when an
// option is unknown, lacks its value or has a bad value. --help and
// --version end the parsing: what follows is not looked at.
bool parse_sim_options(int argc, const char* const* argv, SimOptions& out, std::string& error);

// The usage text, ending in a linefeed.
std::string sim_usage();

// The usage text and one line per quirk (quirk_option.h).
std::string sim_help();

// "sgsim VERSION\n": the project's version, as CMake has it.
std::string sim_version();

}  // namespace sgsim
