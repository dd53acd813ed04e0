// The USBTMC (USB488) host protocol over a UsbLink, as a Transport.
#pragma once

#include <memory>

#include "transport.h"
#include "usb_link.h"

namespace sgvisa {

// Wraps `link` in the USBTMC host protocol: reads GET_CAPABILITIES once, then
// carries messages as DEV_DEP_MSG_OUT / REQUEST_DEV_DEP_MSG_IN transfers.
// `deadline` bounds the capability request.
ViStatus make_usbtmc_transport(std::unique_ptr<UsbLink> link, Deadline deadline,
                               std::unique_ptr<Transport>& out);

}  // namespace sgvisa
