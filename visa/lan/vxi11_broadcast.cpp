#include "vxi11_broadcast.h"

#include "proto/portmap.h"
#include "proto/vxi11.h"

namespace sgvisa::lan {
namespace {

namespace rpc = sgproto::oncrpc;
namespace vxi = sgproto::vxi11;

// The xid the tools use: a reply carries it back, and nothing else on the
// socket does.
constexpr std::uint32_t kBroadcastXid = 0x3E8;

}  // namespace

rpc::Bytes broadcast_getport_call() {
    rpc::Bytes out;
    rpc::XdrWriter w(out);
    encode(w, rpc::make_call(kBroadcastXid, rpc::kPortmapProgram, rpc::kPortmapVersion,
                             rpc::PMAPPROC_GETPORT));
    encode(w, rpc::Mapping{vxi::kCoreProgram, vxi::kVersion, rpc::kIpProtoTcp, 0});
    return out;
}

bool answers_broadcast(rpc::ByteView reply) {
    rpc::XdrReader r(reply);
    rpc::ReplyHeader h;
    rpc::PortResult port;
    return decode(r, h) && h.xid == kBroadcastXid && h.stat == rpc::ReplyStat::accepted &&
           h.accept == rpc::AcceptStat::success && decode(r, port) && port.port != 0;
}

}  // namespace sgvisa::lan
