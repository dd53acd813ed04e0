// The USB backend's opener: a USBTMC instrument reached through libusb.
#pragma once

#include <memory>

#include "transport.h"

namespace sgvisa {

// VI_ERROR_RSRC_NFOUND when no USB device matches `name` (or there is no USB
// here at all). A TransportOpener.
ViStatus open_libusb_transport(const UsbResourceName& name, Deadline deadline,
                               std::unique_ptr<Transport>& out);

}  // namespace sgvisa
