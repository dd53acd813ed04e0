// What a USBTMC interface says it can do (GET_CAPABILITIES), and how a host
// reads the answer. A device that stalls the request is used without any of
// the optional features. USBTMC 1.0, 4.2.1.8, Tables 36 and 37; USB488 1.0,
// 4.2.2, Table 8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace sgvisa::usbtmc {

// USBTMC 1.0, Table 37: term_char byte 5, D0; indicator_pulse byte 4, D2.
// USB488 1.0, Table 8: trigger byte 14, D0; remote_local byte 14, D1.
struct Capabilities {
    bool term_char = false;     // ends a bulk-IN transfer at TermChar
    bool usb488 = false;        // answered as a USB488 interface
    bool trigger = false;       // USB488: accepts TRIGGER
    bool remote_local = false;  // USB488: REN_CONTROL, GO_TO_LOCAL, LOCAL_LOCKOUT
    bool indicator_pulse = false;
};

// Reads a GET_CAPABILITIES answer; `usb488_interface` tells whether the
// interface's bInterfaceProtocol is 1 (the USB488 fields mean nothing else:
// bytes 12 to 23 belong to the subclass, USBTMC 1.0, Table 37; protocol 1:
// Table 44).
Capabilities parse_capabilities(std::span<const std::uint8_t> answer, bool usb488_interface);

}  // namespace sgvisa::usbtmc
