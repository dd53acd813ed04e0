#include "device/device_identity.h"

#include <cstdio>

namespace sgsim {

std::string resource_name(const DeviceIdentity& id) {
    char ids[40];
    std::snprintf(ids, sizeof ids, "USB0::0x%04x::0x%04x::", static_cast<unsigned>(id.vendor_id),
                  static_cast<unsigned>(id.product_id));
    return std::string(ids) + id.serial + "::" + std::to_string(id.interface_number) + "::INSTR";
}

DeviceIdentity io_test_identity(const std::string& serial) {
    DeviceIdentity id;
    id.serial = serial;
    id.product = kIoTestProductName;
    id.interface_name = "USBTMC I/O test instrument";
    return id;
}

}  // namespace sgsim
