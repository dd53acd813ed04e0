// Whether this user may open an instrument now, and if not, why and what
// fixes it: found without talking to the instrument (another program may be
// in the middle of a query), from the device node, the driver that holds
// the interface, the processes that have the node open, and the
// instrument's lock file.
#pragma once

#include <string>
#include <vector>

#include "inspect/inspection.h"
#include "process_table.h"
#include "system_paths.h"

namespace sgvisa_tool {

struct Access {
    bool may_open = true;
    std::string reason;  // why not, or what happens when it is opened; "" when nothing to say
    std::string fix;     // what makes it openable; "" when nothing needs to be done
    std::vector<ProcessName> holders;  // the processes that keep it from this user
};

// A USB interface's access, from its device node and the driver bound to
// the interface (`driver`, "" when none). `libusb_present`: libusb-1.0 could
// be loaded (the library reaches USB devices only through it).
Access usb_access(const SystemPaths& paths, const sgvisa::inspect::UsbInterface& iface,
                  const std::string& driver, bool libusb_present);

// What the instrument's VISA locks do to `access`: an exclusive lock held
// by another process keeps this user out until it is released.
void apply_locks(const SystemPaths& paths, const sgvisa::inspect::LockHolders& locks,
                 Access& access);

// The driver bound to the USB interface named `interface` in sysfs, "" when none.
std::string interface_driver(const SystemPaths& paths, const std::string& interface);

}  // namespace sgvisa_tool
