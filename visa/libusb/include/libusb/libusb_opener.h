// The USB backend: USBTMC instruments found in sysfs, opened by their
// device nodes and driven through libusb, which is loaded on the first
// open or listing. Without libusb there is no USB backend: nothing is
// found, nothing listed.
#pragma once

#include <memory>
#include <vector>

#include "transport/transport.h"
#include "transport/usb_resource_name.h"

namespace sgvisa::libusb {

// VI_ERROR_RSRC_NFOUND when no USB device matches `name` (or there is no USB
// here at all); VI_ERROR_NPERMISSION when one matches that the user may not
// open and none that the user may. A TransportOpener.
ViStatus open_libusb_transport(const UsbResourceName& name, Deadline deadline,
                               std::unique_ptr<Transport>& out);

// Appends the USBTMC interfaces on the USB buses now, also those the user
// may not open. A ResourceLister.
void list_libusb_resources(Deadline deadline, std::vector<UsbResourceName>& out);

}  // namespace sgvisa::libusb
