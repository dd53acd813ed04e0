// A UsbLink that writes each transfer, class request and interrupt-IN
// notification to the trace (transfers level) as it passes, decoded
// (transfer_text.h), with its outcome.
#pragma once

#include <memory>

#include "usbtmc/usb_link.h"

namespace sgvisa::usbtmc {

// `link`, reporting into the trace.
std::unique_ptr<UsbLink> traced_link(std::unique_ptr<UsbLink> link);

}  // namespace sgvisa::usbtmc
