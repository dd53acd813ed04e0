// UsbLink over libusb's synchronous API, for a claimed USBTMC interface.
#pragma once

#include <memory>

#include "libusb_device_finder.h"
#include "usb_link.h"

namespace sgvisa {

// Takes over `device` (its open handle). The link claims the interface in
// acquire() (detaching the kernel driver if it holds it) and gives it back
// in relinquish(); on destruction it re-attaches a kernel driver it detached
// and closes the handle.
std::unique_ptr<UsbLink> make_libusb_link(const FoundUsbtmcDevice& device);

}  // namespace sgvisa
