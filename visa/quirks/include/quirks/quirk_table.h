// The quirks in force for a USB device: the library's own table of
// devices that need them, and the quirks files (quirk_file.h) in which users
// add and change entries without rebuilding, read at each open:
//
//   /etc/sgvisa/quirks                  for every user of the machine
//   $XDG_CONFIG_HOME/sgvisa/quirks      for one user (else ~/.config/sgvisa/quirks)
//
// in that order: a later line for a device replaces what came before it for
// that device (a line with the IDs alone turns every quirk off).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quirks/quirk_file.h"
#include "usbtmc/host_quirks.h"

namespace sgvisa::quirks {

// The library's own entries.
std::span<const QuirkEntry> builtin_quirks();

// The quirks files, in the order they are read.
std::vector<std::string> quirk_file_paths();

// The quirks of the last entry in `entries` for the device (none when
// none names it).
usbtmc::HostQuirks quirks_in(std::span<const QuirkEntry> entries, std::uint16_t vendor_id,
                             std::uint16_t product_id);

// The quirks in force for the device now: builtin_quirks(), then the
// files (bad lines reported on stderr). What `sgvisa info` shows.
usbtmc::HostQuirks quirks_for(std::uint16_t vendor_id, std::uint16_t product_id);

}  // namespace sgvisa::quirks
