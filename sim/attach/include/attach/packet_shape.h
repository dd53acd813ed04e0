// How the device's bulk-IN endpoint puts a transfer into packets, as a host
// controller sees them: packets of the endpoint's size, the last one short,
// a zero-length packet after a transfer whose last packet is a full one; or
// as the packet-level quirks (device_quirks.h) bend that.
#pragma once

#include <cstddef>
#include <vector>

#include "device/device_quirks.h"

namespace sgsim {

struct PacketShape {
    std::size_t max_packet = 512;    // the endpoint's wMaxPacketSize
    std::size_t packet_limit = 512;  // the most the device puts in one packet (packet64: 64)
    bool zlp = true;             // a zero-length packet ends a transfer whose last packet is full
    bool leading_empty = false;  // a zero-length packet comes before each transfer
};

// The shape of an endpoint of `max_packet` bytes under `quirks`.
PacketShape packet_shape(const DeviceQuirks& quirks, std::size_t max_packet);

// Whether a zero-length packet follows a transfer of `size` bytes (not 0).
bool zlp_after(std::size_t size, const PacketShape& shape);

// One write to a FunctionFS endpoint file: `length` bytes of the transfer
// from `offset`; length 0 sends a zero-length packet.
struct EndpointWrite {
    std::size_t offset = 0;
    std::size_t length = 0;
    bool operator==(const EndpointWrite&) const = default;
};

// The writes that make the gadget's UDC send a transfer of `size` bytes
// (not 0) in `shape`'s packets: the transfer in one write (the UDC cuts
// packets of max_packet), or one write per packet when the device's packets
// are smaller, each then a short packet; the zero-length packets as writes of
// their own.
std::vector<EndpointWrite> plan_writes(std::size_t size, const PacketShape& shape);

}  // namespace sgsim
