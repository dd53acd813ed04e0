#include "usbtmc_capabilities.h"

#include "proto/usbtmc.h"

namespace sgvisa::usbtmc {

Capabilities parse_capabilities(std::span<const std::uint8_t> answer, bool usb488_interface) {
    Capabilities caps;
    // Byte 0 is USBTMC_status; the rest means something only on success
    // (USBTMC 1.0, 4.2.1, after Table 16).
    if (answer.size() < 6 || answer[0] != sgproto::usbtmc::STATUS_SUCCESS)
        return caps;
    caps.indicator_pulse = (answer[4] & 0x04) != 0;
    caps.term_char = (answer[5] & sgproto::usbtmc::kDeviceCapTermChar) != 0;
    if (usb488_interface && answer.size() >= 16) {
        caps.usb488 = true;
        caps.trigger = (answer[14] & 0x01) != 0;       // USB488 interface: TRIGGER
        caps.remote_local = (answer[14] & 0x02) != 0;  // REN_CONTROL and friends
    }
    return caps;
}

}  // namespace sgvisa::usbtmc
