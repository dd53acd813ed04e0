// Attaches a UsbtmcDevice to the Linux kernel as a USB gadget through a
// FunctionFS mount (ep0 and the bulk endpoint files).
#pragma once

#include <csignal>
#include <string>

#include "device/usbtmc_device.h"

namespace sgsim {

// Writes the descriptors and strings (the interface's name is
// `interface_name`) to `ffs_dir`/ep0, then serves ep0 and the
// bulk endpoints until `stop` becomes non-zero (set by a signal handler) or
// an unrecoverable error. `on_ready` is called once the endpoint files exist
// (the gadget can then be bound to a UDC). Returns 0, or 1 with a message on
// standard error.
int run_gadget(const std::string& ffs_dir, UsbtmcDevice& device, const std::string& interface_name,
               volatile std::sig_atomic_t& stop, void (*on_ready)());

}  // namespace sgsim
