// The library's own ways of reaching an instrument, in the order they are
// tried: the simulator's local bus, then USB through libusb; and the kinds
// of resource they serve, which is what viOpen opens and viFindRsrc lists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "transport/resource_name.h"

namespace sgvisa::api {

// Registers the built-in openers once per process; later calls do nothing.
void register_builtin_transports();

// Whether a built-in link serves resources of this interface type
// (VI_INTF_*) and resource class ("INSTR"...), as resource_syntax.h parses
// them: USB INSTR. A well-formed name of another kind is refused by viOpen
// with VI_ERROR_NSUP_OPER and never listed.
bool serves(std::uint16_t interface_type, std::string_view resource_class);

// Whether `name` asks for a secure connection this library does not make:
// HiSLIP's "@host" and "cred@host" it makes; "#cred@host", a secure SOCKET
// and a secure VXI-11 device name it refuses (and never serves them by a
// plain connection). The reason says which.
bool refuses_secure_name(const ResourceName& name);
std::string secure_refusal_reason(const ResourceName& name);

// The trace's words for a refused kind: what this library serves, and
// where the rest is served.
std::string not_served_reason(std::uint16_t interface_type, std::string_view resource_class);

}  // namespace sgvisa::api
