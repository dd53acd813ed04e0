// The USBTMC (USB488) host protocol over a UsbLink, as a Transport.
#pragma once

#include <memory>

#include "transport.h"
#include "usb_link.h"

namespace sgvisa {

// Wraps `link` in the USBTMC host protocol, which carries messages as
// DEV_DEP_MSG_OUT / REQUEST_DEV_DEP_MSG_IN transfers. Nothing is sent until
// the first acquire(), which claims the interface and reads GET_CAPABILITIES
// (that first claim and request get at least 1 s, whatever the deadline);
// so a transport is made without waiting for anybody.
ViStatus make_usbtmc_transport(std::unique_ptr<UsbLink> link, std::unique_ptr<Transport>& out);

}  // namespace sgvisa
