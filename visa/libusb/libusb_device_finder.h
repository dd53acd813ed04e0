// Finding a USBTMC instrument among the USB devices libusb sees: by vendor
// ID, product ID and serial number, and its USBTMC interface with the bulk
// endpoints as the descriptors give them.
#pragma once

#include <cstdint>
#include <string>

#include "usb_resource_name.h"
#include "visa.h"

struct libusb_context;
struct libusb_device_handle;

namespace sgvisa {

struct FoundUsbtmcDevice {
    libusb_device_handle* handle = nullptr;  // open; the caller closes it
    int configuration = 0;                   // bConfigurationValue holding the interface
    std::uint8_t interface_number = 0;
    std::uint8_t alt_setting = 0;
    std::uint8_t bulk_out_endpoint = 0;
    std::uint8_t bulk_in_endpoint = 0;
    std::uint16_t max_packet_size = 0;  // of the bulk-IN endpoint
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::string serial;
    std::uint8_t interface_protocol = 0;
    std::uint8_t bus = 0;  // for /dev/bus/usb/BBB/DDD
    std::uint8_t address = 0;
};

// Opens the device `name` designates. The serial number is compared without
// regard to case. The interface is the USBTMC one (class 0xFE, subclass 0x03)
// numbered as in `name` when there is such a one, else the first USBTMC
// interface of the active configuration (of the first configuration when the
// device is unconfigured). A device exported to another machine over USB/IP
// (held by the kernel's usbip-host driver) is skipped.
//
// VI_ERROR_RSRC_NFOUND when no such device exists; VI_ERROR_NPERMISSION when
// a device with the vendor and product IDs exists but could not be opened
// for lack of permission and no other one matched.
ViStatus find_usbtmc_device(libusb_context* context, const UsbResourceName& name,
                            FoundUsbtmcDevice& out);

}  // namespace sgvisa
