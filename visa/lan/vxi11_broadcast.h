// Finding VXI-11 instruments by broadcast: the portmapper GETPORT call for
// the core channel over TCP, sent by UDP to each network's broadcast
// address, as the LAN tools that discover instruments send it; every
// portmapper that answers with a port other than 0 serves an instrument.
#pragma once

#include <cstdint>

#include "proto/oncrpc.h"

namespace sgvisa::lan {

// The call, 56 bytes: xid 0x3E8, AUTH_NONE, GETPORT(DEVICE_CORE, 1, TCP).
sgproto::oncrpc::Bytes broadcast_getport_call();

// Whether `reply` is the accepted answer to that call with a port not 0.
bool answers_broadcast(sgproto::oncrpc::ByteView reply);

}  // namespace sgvisa::lan
