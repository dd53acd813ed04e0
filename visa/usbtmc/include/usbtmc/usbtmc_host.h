// The USBTMC (USB488) host protocol over a UsbLink, as a Transport.
#pragma once

#include <memory>

#include "transport/transport.h"
#include "usbtmc/host_quirks.h"
#include "usbtmc/usb_link.h"

namespace sgvisa::usbtmc {

// Wraps `link` in the USBTMC host protocol, which carries messages as
// DEV_DEP_MSG_OUT / REQUEST_DEV_DEP_MSG_IN transfers (USBTMC 1.0, 3.2.1.1
// and 3.2.1.2), coping with the deviations of usbtmc_reply.h and
// message_end.h. Nothing is sent until the first acquire(), which claims the
// interface, reads GET_CAPABILITIES (4.2.1.8) and clears the device
// (INITIATE_CLEAR, 4.2.1.6) when `quirks` say so (that first claim and those
// requests get at least 1 s, whatever the deadline); so a transport is made
// without waiting for anybody.
ViStatus make_usbtmc_transport(std::unique_ptr<UsbLink> link, std::unique_ptr<Transport>& out,
                               const HostQuirks& quirks = {});

}  // namespace sgvisa::usbtmc
