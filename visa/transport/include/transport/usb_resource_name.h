// A parsed VISA resource name of a USB instrument:
//   USB[board]::manufacturer ID::model code::serial number[::interface][::INSTR]
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "visa.h"

namespace sgvisa {

struct UsbResourceName {
    unsigned board = 0;
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::string serial;         // as written in the name; compare case-insensitively
    int interface_number = -1;  // -1: not given, use the first USBTMC interface
};

// Parses `text`; VI_SUCCESS or VI_ERROR_INV_RSRC_NAME.
ViStatus parse_usb_resource_name(std::string_view text, UsbResourceName& out);

// The canonical form of a name: USB<board>::0x<VID>::0x<PID>::<serial>::<interface>::INSTR
// with upper-case hexadecimal digits, the serial number as written and
// interface 0 when the name gave none.
std::string canonical_name(const UsbResourceName& name);

// Case-insensitive comparison of serial numbers, as resource names compare them.
bool serial_equal(std::string_view a, std::string_view b);

}  // namespace sgvisa
