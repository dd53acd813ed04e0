// Who the simulated device is on a bus: its USB vendor and product IDs, its
// serial number and names, and the VISA resource name a host opens it by.
// Both personalities (the generator and the I/O test instrument) present the
// same IDs and tell themselves apart by their product name.
#pragma once

#include <cstdint>
#include <string>

namespace sgsim {

constexpr std::uint16_t kVendorId = 0x4d19;
constexpr std::uint16_t kProductId = 0x0040;

inline constexpr const char* kManufacturerName = "Simulated Signal Sources";
inline constexpr const char* kGeneratorProductName = "SG-4040";
inline constexpr const char* kIoTestProductName = "IO-TEST";

struct DeviceIdentity {
    std::uint16_t vendor_id = kVendorId;
    std::uint16_t product_id = kProductId;
    std::string serial = "SIM001";
    std::uint8_t interface_number = 0;
    // The manufacturer's and product's string descriptors; the local bus
    // HELLO carries them. (A gadget's come from its configfs directory.)
    std::string manufacturer = kManufacturerName;
    std::string product = kGeneratorProductName;
    // The USBTMC interface's string descriptor, which a gadget presents.
    std::string interface_name = "USBTMC signal generator";
};

// The identity of the I/O test personality (sgsim --io-test) with `serial`.
DeviceIdentity io_test_identity(const std::string& serial);

// E.g. "USB0::0x4d19::0x0040::SIM001::0::INSTR".
std::string resource_name(const DeviceIdentity& id);

}  // namespace sgsim
