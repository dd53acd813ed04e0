// Taking a device's USBTMC interface for this process and giving it back.
// The configuration is never changed and the device never reset. A kernel
// driver bound to the interface (the kernel's usbtmc driver) is detached;
// another process's claim is waited for, watching the device node for the
// close that usually ends it.
#pragma once

#include "libusb_device.h"
#include "transport/deadline.h"
#include "visa.h"

namespace sgvisa::libusb {

// Claims the interface of `device`. Sets `detached` when a kernel driver
// was detached on the way (release_usbtmc_interface gives it back);
// `cancel_fd` readable (-1: none) ends the wait with VI_ERROR_ABORT.
// VI_ERROR_RSRC_BUSY when another process still holds the interface at
// `deadline` (a holder that lets go without closing the node is noticed at
// the next close of it, or by the last attempt at the deadline);
// VI_ERROR_CONN_LOST when the device is gone.
ViStatus claim_usbtmc_interface(const LibusbDevice& device, Deadline deadline, int cancel_fd,
                                bool& detached);

// Releases the interface (when `claimed`) and, when `reattach`, gives it
// back to the kernel's driver (so that /dev/usbtmcN comes back).
void release_usbtmc_interface(const LibusbDevice& device, bool claimed, bool reattach);

}  // namespace sgvisa::libusb
