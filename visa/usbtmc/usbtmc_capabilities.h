// What a USBTMC interface says it can do (GET_CAPABILITIES), and how a host
// reads the answer. A device that stalls the request is used without any of
// the optional features.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace sgvisa::usbtmc {

struct Capabilities {
    bool term_char = false;     // ends a bulk-IN transfer at TermChar
    bool usb488 = false;        // answered as a USB488 interface
    bool trigger = false;       // USB488: accepts TRIGGER
    bool remote_local = false;  // USB488: REN_CONTROL, GO_TO_LOCAL, LOCAL_LOCKOUT
    bool indicator_pulse = false;
};

// Reads a GET_CAPABILITIES answer; `usb488_interface` tells whether the
// interface's bInterfaceProtocol is 1 (the USB488 fields mean nothing else).
Capabilities parse_capabilities(std::span<const std::uint8_t> answer, bool usb488_interface);

}  // namespace sgvisa::usbtmc
