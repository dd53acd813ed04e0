// The USBTMC interfaces on the USB buses now, as the kernel shows them in
// sysfs (/sys/bus/usb/devices): no USB traffic, no device opened, and a
// fresh look every time, so a device unplugged a moment ago is gone and one
// plugged in is there (no daemon needs to run); and from the scanned
// interfaces to resource names and back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transport/deadline.h"
#include "transport/usb_resource_name.h"

namespace sgvisa::libusb {

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

// The interfaces `name` designates, in scan order: of each device with its
// vendor ID, product ID and serial number (compared without regard to
// case), the interface numbered as in `name`, or the device's first USBTMC
// interface when `name` gives no number.
std::vector<UsbtmcInterfaceInfo> interfaces_named(const std::vector<UsbtmcInterfaceInfo>& all,
                                                  const UsbResourceName& name);

// One resource name per interface (board 0, with its interface number),
// leaving out a device whose serial number cannot stand in a resource name
// (none, or one with white space or colons).
std::vector<UsbResourceName> resource_names_of(const std::vector<UsbtmcInterfaceInfo>& all);

}  // namespace sgvisa::libusb
