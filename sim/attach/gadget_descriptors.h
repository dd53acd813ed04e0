// What the simulated generator writes to a FunctionFS ep0 before it can be
// bound: the interface and endpoint descriptors for full and high speed, and
// the interface string.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace sgsim::gadget {

// FunctionFS numbers the endpoint files (ep1, ep2) in the order of the
// endpoint descriptors, and names an endpoint in a class request by this
// same index (1-based).
constexpr unsigned kOutEndpointIndex = 1;
constexpr unsigned kInEndpointIndex = 2;

constexpr std::uint16_t kFullSpeedPacket = 64;
constexpr std::uint16_t kHighSpeedPacket = 512;

// A v2 descriptors blob: header, counts, and one USBTMC/USB488 interface with
// a bulk-OUT and a bulk-IN endpoint for each of full and high speed.
std::vector<std::uint8_t> descriptors_blob();

// A strings blob with one language (US English) and one string, the
// interface's name (string index 1).
std::vector<std::uint8_t> strings_blob(std::string_view interface_name);

// The device's own address of the endpoint FunctionFS calls `index`, or 0.
std::uint8_t endpoint_address(unsigned index);

}  // namespace sgsim::gadget
