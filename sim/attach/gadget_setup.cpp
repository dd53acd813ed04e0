#include "gadget_setup.h"

#include <linux/usb/ch9.h>

#include "gadget_descriptors.h"

namespace sgsim::gadget {

SetupAnswer answer_setup(UsbtmcDevice& device, const SetupPacket& setup) {
    const bool device_to_host = (setup.request_type & USB_DIR_IN) != 0;
    const bool class_request = (setup.request_type & USB_TYPE_MASK) == USB_TYPE_CLASS;
    // Every USBTMC and USB488 class request has an IN data stage.
    if (!device_to_host || !class_request || setup.length == 0)
        return {.stall = true, .data = {}};

    std::uint16_t index = setup.index;
    if ((setup.request_type & USB_RECIP_MASK) == USB_RECIP_ENDPOINT) {
        const std::uint8_t address =
            endpoint_address(setup.index & 0xFF, device.has_interrupt_in());
        if (address == 0)
            return {.stall = true, .data = {}};
        index = address;
    }
    auto reply =
        device.control_in(setup.request_type, setup.request, setup.value, index, setup.length);
    if (!reply)
        return {.stall = true, .data = {}};
    if (reply->size() > setup.length)
        reply->resize(setup.length);
    return {.stall = false, .data = std::move(*reply)};
}

}  // namespace sgsim::gadget
