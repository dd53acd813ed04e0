// Answers the control requests that FunctionFS hands to the gadget as SETUP
// events: the USBTMC/USB488 class requests go to the device core, everything
// else is stalled.
#pragma once

#include <cstdint>
#include <vector>

#include "device/usbtmc_device.h"

namespace sgsim::gadget {

// A SETUP packet as FunctionFS delivers it. For an interface recipient, wIndex
// already holds the function's own interface number; for an endpoint
// recipient, the endpoint's FunctionFS index (see gadget_descriptors.h).
struct SetupPacket {
    std::uint8_t request_type = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
};

struct SetupAnswer {
    bool stall = false;
    // The data stage to write to ep0 (at most the request's wLength bytes)
    // when not stalled.
    std::vector<std::uint8_t> data;
};

SetupAnswer answer_setup(UsbtmcDevice& device, const SetupPacket& setup);

}  // namespace sgsim::gadget
