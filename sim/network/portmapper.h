// The simulator's own portmapper (version 2), as instruments have one: NULL,
// GETPORT, which gives the VXI-11 core channel's port for TCP and 0 for
// anything else, and DUMP, which lists what GETPORT answers. Other
// procedures are refused (proc_unavail): nothing can be registered here.
#pragma once

#include <cstdint>

#include "proto/oncrpc.h"

namespace sgsim::network {

struct PortmapTable {
    std::uint16_t portmap_port = 0;  // its own, on TCP and UDP
    std::uint16_t core_port = 0;     // DEVICE_CORE version 1 on TCP
};

// The reply message (no record marking) to the call `message`; empty when
// the message is not a call, which is dropped.
sgproto::oncrpc::Bytes portmap_answer(sgproto::oncrpc::ByteView message, const PortmapTable& table);

}  // namespace sgsim::network
