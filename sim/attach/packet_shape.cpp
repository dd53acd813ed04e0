#include "attach/packet_shape.h"

#include <algorithm>

namespace sgsim {

PacketShape packet_shape(const DeviceQuirks& quirks, std::size_t max_packet) {
    PacketShape s;
    s.max_packet = max_packet;
    s.packet_limit = quirks.packet64 ? std::min<std::size_t>(64, max_packet) : max_packet;
    s.zlp = !quirks.no_zlp;
    s.leading_empty = quirks.leading_empty;
    return s;
}

std::vector<EndpointWrite> plan_writes(std::size_t size, const PacketShape& shape) {
    std::vector<EndpointWrite> writes;
    if (shape.leading_empty)
        writes.push_back({0, 0});
    if (shape.packet_limit < shape.max_packet) {
        for (std::size_t at = 0; at < size; at += shape.packet_limit)
            writes.push_back({at, std::min(shape.packet_limit, size - at)});
    } else {
        writes.push_back({0, size});
    }
    if (zlp_after(size, shape))
        writes.push_back({size, 0});
    return writes;
}

bool zlp_after(std::size_t size, const PacketShape& shape) {
    if (size == 0 || !shape.zlp)
        return false;
    const std::size_t last = size - (size - 1) / shape.packet_limit * shape.packet_limit;
    return last == shape.max_packet;
}

}  // namespace sgsim
