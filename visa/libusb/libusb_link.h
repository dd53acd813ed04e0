// UsbLink over libusb's synchronous API, for a claimed USBTMC interface.
#pragma once

#include <memory>

#include "libusb_device_finder.h"
#include "usb_link.h"

namespace sgvisa {

// Takes over `device` (its open handle and claimed interface). On
// destruction the link releases the interface, re-attaches the kernel driver
// when `reattach_kernel_driver`, and closes the handle.
std::unique_ptr<UsbLink> make_libusb_link(const FoundUsbtmcDevice& device,
                                          bool reattach_kernel_driver);

}  // namespace sgvisa
