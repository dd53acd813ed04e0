// Fuzz target: the VISA resource-name parser, on any bytes a caller of
// viOpen can pass (the serial number the operator typed ends up in them).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "transport/usb_resource_name.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    sgvisa::UsbResourceName name;
    const ViStatus st = sgvisa::parse_usb_resource_name(text, name);
    if (st != VI_SUCCESS && st != VI_ERROR_INV_RSRC_NAME)
        std::abort();  // the parser promises only these two
    if (st == VI_SUCCESS) {
        // A parsed serial number came from the text and compares equal to itself.
        if (name.serial.size() > size || !sgvisa::serial_equal(name.serial, name.serial))
            std::abort();
        if (name.interface_number < -1 || name.interface_number > 255)
            std::abort();
    }
    return 0;
}
