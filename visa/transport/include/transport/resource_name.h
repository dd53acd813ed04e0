// A resource name of any kind a transport may open: the seam's name for an
// instrument. Each kind keeps its own fields (usb_resource_name.h,
// lan_resource_name.h); openers take the kinds they serve and leave the rest.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "transport/lan_resource_name.h"
#include "transport/usb_resource_name.h"
#include "visa.h"

namespace sgvisa {

using ResourceName = std::variant<UsbResourceName, TcpipInstrName, TcpipSocketName>;

// Parses a USB INSTR, TCPIP INSTR or TCPIP SOCKET name; VI_SUCCESS or
// VI_ERROR_INV_RSRC_NAME (also for well-formed names of other kinds).
ViStatus parse_resource_name(std::string_view text, ResourceName& out);

std::string canonical_name(const ResourceName& name);

// Whether two names designate the same resource (serial numbers and host
// names compare without regard to case).
bool same_resource(const ResourceName& a, const ResourceName& b);

}  // namespace sgvisa
