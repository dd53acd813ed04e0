// VISA resource names of every interface type a program may spell, as
// viParseRsrc reads them: the interface type, board number, resource class
// and the canonical spelling. The library opens USB INSTR resources only
// (usb_resource_name.h); the others parse so that a program can tell what a
// name is, and are then simply not present.
//   GPIB[board]::primary[::secondary][::INSTR]   GPIB[board]::INTFC
//   ASRL[board][::INSTR]
//   TCPIP[board]::host[::LAN device name][::INSTR]   TCPIP[board]::host::port::SOCKET
//   USB[board]::vendor::product::serial[::interface][::INSTR | ::RAW]
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "visa.h"

namespace sgvisa {

struct ResourceSyntax {
    std::uint16_t interface_type = 0;  // VI_INTF_*
    std::uint16_t board = 0;
    std::string resource_class;  // "INSTR", "SOCKET", "RAW", "INTFC"
    std::string canonical;
};

// VI_SUCCESS or VI_ERROR_INV_RSRC_NAME.
ViStatus parse_resource_syntax(std::string_view text, ResourceSyntax& out);

}  // namespace sgvisa
