// A USBTMC interface's endpoints, from the configuration descriptor the
// kernel keeps for the device (libusb reads it from the device node).
#pragma once

#include <libusb.h>

#include <cstdint>

#include "usb_device_facts.h"

namespace sgvisa {

// Fills the endpoint fields of `facts` (bulk-OUT, bulk-IN and its packet
// size, interrupt-IN and its packet size or 0 when there is none) from
// alternate setting `alt` of interface `interface_number` of `config`, and
// interface_number and interface_protocol. False when there is no such
// setting, or it is not USBTMC (class 0xFE, subclass 0x03), or it lacks a
// bulk endpoint in either direction.
bool usbtmc_endpoints(const libusb_config_descriptor& config, std::uint8_t interface_number,
                      std::uint8_t alt, UsbDeviceFacts& facts);

}  // namespace sgvisa
