// The USBTMC (USB488) host protocol over a UsbLink, as a Transport.
#pragma once

#include <memory>

#include "host_switches.h"
#include "transport.h"
#include "usb_link.h"

namespace sgvisa {

// Wraps `link` in the USBTMC host protocol: reads GET_CAPABILITIES once
// (and clears the device when `switches` say so), then carries messages as
// DEV_DEP_MSG_OUT / REQUEST_DEV_DEP_MSG_IN transfers, coping with the
// deviations of usbtmc_reply.h and message_end.h. `deadline` bounds the
// opening requests.
ViStatus make_usbtmc_transport(std::unique_ptr<UsbLink> link, Deadline deadline,
                               std::unique_ptr<Transport>& out, const HostSwitches& switches = {});

}  // namespace sgvisa
