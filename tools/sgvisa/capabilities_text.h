// A USBTMC interface's GET_CAPABILITIES answer in words, USB488's part
// included.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sgvisa_tool {

struct CapabilityLine {
    std::string area;                  // "USBTMC" or "USB488"
    std::string version;               // "1.00"
    std::vector<std::string> present;  // what the interface claims, in the answer's order
    std::vector<std::string> absent;   // what it does not
};

// The lines of `answer` (USBTMC_status first). USB488's only when
// `usb488_interface` (bInterfaceProtocol 1) and the answer carries them.
// None when the answer is short or its status is not STATUS_SUCCESS.
std::vector<CapabilityLine> describe_capabilities(std::span<const std::uint8_t> answer,
                                                  bool usb488_interface);

}  // namespace sgvisa_tool
