// Taking a found USBTMC interface for a session and giving it back: the
// configuration is set only when it is not already the active one (the
// device is never reset), the kernel's usbtmc driver is detached for the
// session and re-attached after it, and a claim held by another process is
// waited for up to the open deadline.
#pragma once

#include <cstdint>

#include "deadline.h"
#include "libusb_device_finder.h"
#include "visa.h"

namespace sgvisa {

// Claims the interface of `device`. `detached` tells whether a kernel driver
// was detached (release_usbtmc_interface re-attaches it). VI_ERROR_RSRC_LOCKED
// when another process still holds the interface at `deadline`.
ViStatus claim_usbtmc_interface(const FoundUsbtmcDevice& device, Deadline deadline, bool& detached);

// Releases the interface and, when `reattach`, gives it back to the kernel
// driver (so that /dev/usbtmcN comes back). Does not close the handle.
void release_usbtmc_interface(const FoundUsbtmcDevice& device, bool reattach);

}  // namespace sgvisa
