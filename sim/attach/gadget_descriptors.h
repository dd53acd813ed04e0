// What the simulated generator writes to a FunctionFS ep0 before it can be
// bound: the interface and endpoint descriptors for full and high speed, and
// the interface string.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace sgsim::gadget {

// FunctionFS numbers the endpoint files (ep1, ep2, ep3) in the order of the
// endpoint descriptors, and names an endpoint in a class request by this
// same index (1-based).
constexpr unsigned kOutEndpointIndex = 1;
constexpr unsigned kInEndpointIndex = 2;
constexpr unsigned kInterruptEndpointIndex = 3;  // when the interface has it

constexpr std::uint16_t kFullSpeedPacket = 64;
constexpr std::uint16_t kHighSpeedPacket = 512;
// The interrupt-IN endpoint's polling interval: 1 ms at either speed
// (full speed counts frames, high speed 2^(n-1) microframes).
constexpr std::uint8_t kFullSpeedInterval = 1;
constexpr std::uint8_t kHighSpeedInterval = 4;

// A v2 descriptors blob: header, counts, and one USBTMC/USB488 interface with
// a bulk-OUT, a bulk-IN and, when `interrupt_in`, an interrupt-IN endpoint,
// for each of full and high speed.
std::vector<std::uint8_t> descriptors_blob(bool interrupt_in);

// A strings blob with one language (US English) and one string, the
// interface's name (string index 1).
std::vector<std::uint8_t> strings_blob(std::string_view interface_name);

// The device's own address of the endpoint FunctionFS calls `index`, or 0.
std::uint8_t endpoint_address(unsigned index, bool interrupt_in);

}  // namespace sgsim::gadget
