// Who a USB instrument says it is, from its descriptors, and how its USBTMC
// interface is laid out: what the links read from the device and the
// session layer reports as attributes.
#pragma once

#include <cstdint>
#include <string>

namespace sgvisa {

struct UsbDeviceFacts {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::string serial;
    std::string manufacturer;  // iManufacturer, "" when the device has none
    std::string product;       // iProduct, "" when the device has none
    std::uint8_t interface_number = 0;
    std::uint8_t interface_protocol = 0;      // bInterfaceProtocol: 1 for USB488
    std::uint8_t bulk_out_endpoint = 0;       // address, e.g. 0x02
    std::uint8_t bulk_in_endpoint = 0;        // address, e.g. 0x81
    std::uint8_t interrupt_in_endpoint = 0;   // 0: the interface has none
    std::uint16_t max_packet_size = 0;        // of the bulk-IN endpoint
    std::uint16_t interrupt_packet_size = 0;  // of the interrupt-IN endpoint
};

}  // namespace sgvisa
