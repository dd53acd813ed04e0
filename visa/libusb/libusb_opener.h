// The USB backend's opener: a USBTMC instrument reached through libusb.
#pragma once

#include <memory>
#include <vector>

#include "transport.h"
#include "usb_resource_name.h"

namespace sgvisa {

// VI_ERROR_RSRC_NFOUND when no USB device matches `name` (or there is no USB
// here at all). A TransportOpener.
ViStatus open_libusb_transport(const UsbResourceName& name, Deadline deadline,
                               std::unique_ptr<Transport>& out);

// Appends the USBTMC interfaces on the USB buses now. A ResourceLister.
void list_libusb_resources(Deadline deadline, std::vector<UsbResourceName>& out);

}  // namespace sgvisa
