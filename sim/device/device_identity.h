// Who the simulated generator is on a bus: its USB vendor and product IDs and
// serial number, and the VISA resource name a host opens it by.
#pragma once

#include <cstdint>
#include <string>

namespace sgsim {

constexpr std::uint16_t kVendorId = 0x4d19;
constexpr std::uint16_t kProductId = 0x0040;

struct DeviceIdentity {
    std::uint16_t vendor_id = kVendorId;
    std::uint16_t product_id = kProductId;
    std::string serial = "SIM001";
    std::uint8_t interface_number = 0;
};

// E.g. "USB0::0x4d19::0x0040::SIM001::0::INSTR".
std::string resource_name(const DeviceIdentity& id);

}  // namespace sgsim
