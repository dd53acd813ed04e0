// UsbLink over libusb's asynchronous API, for one opened USBTMC device.
#pragma once

#include <memory>

#include "libusb_device.h"
#include "usbtmc/usb_link.h"

namespace sgvisa::libusb {

// Takes over `device`. The link claims the interface in acquire()
// (detaching the kernel's driver from it the first time) and releases it in
// relinquish(); on destruction it gives the interface back to a kernel
// driver it detached and closes the device. VI_ERROR_ALLOC or
// VI_ERROR_SYSTEM_ERROR when the link's own resources cannot be had.
ViStatus make_libusb_link(std::unique_ptr<LibusbDevice> device,
                          std::unique_ptr<usbtmc::UsbLink>& out);

}  // namespace sgvisa::libusb
