// The USBTMC interfaces on the USB buses now, as the kernel shows them in
// sysfs (/sys/bus/usb/devices): no USB traffic, no device opened, and a
// fresh look every time, so a device unplugged a moment ago is gone and one
// plugged in is there (no daemon needs to run).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "deadline.h"

namespace sgvisa {

// Where the kernel lists USB devices and their interfaces.
inline constexpr const char* kSysfsUsbDevices = "/sys/bus/usb/devices";

// One USBTMC interface (class 0xFE, subclass 0x03) of a device's active
// configuration.
struct UsbtmcInterfaceInfo {
    std::string device;     // the device's sysfs name, e.g. "1-1.2"
    std::string interface;  // the interface's, e.g. "1-1.2:1.0"
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::string serial;        // "" when the device has none
    std::string manufacturer;  // "" when the device has none
    std::string product;       // "" when the device has none
    unsigned bus = 0;          // busnum and devnum: /dev/bus/usb/BBB/DDD
    unsigned address = 0;
    std::uint8_t interface_number = 0;
    std::uint8_t alt_setting = 0;  // the interface's current alternate setting
    std::uint8_t interface_protocol = 0;
};

// Every USBTMC interface under `root` (kSysfsUsbDevices, or a copy of its
// layout), ordered by device name and interface number. The interfaces of a
// device whose driver is not the kernel's generic "usb" one (usbip-host: the
// device is exported to another machine, which uses it there) are left out,
// as are those of configurations other than the active one. The device's
// strings are the kernel's copies (serial, manufacturer, product), read
// with a bound. Looks at no more devices once `deadline` has passed.
std::vector<UsbtmcInterfaceInfo> scan_usbtmc_interfaces(const std::string& root, Deadline deadline);

}  // namespace sgvisa
