#include "portmapper.h"

#include "proto/portmap.h"
#include "proto/vxi11.h"
#include "rpc_service.h"

namespace sgsim::network {

namespace {

// DUMP's result: a list of mappings, each preceded by TRUE, ended by FALSE.
struct MappingList {
    const PortmapTable* table = nullptr;
};

void encode(rpc::XdrWriter& w, const MappingList& list) {
    const rpc::Mapping mappings[] = {
        {rpc::kPortmapProgram, rpc::kPortmapVersion, rpc::kIpProtoTcp, list.table->portmap_port},
        {rpc::kPortmapProgram, rpc::kPortmapVersion, rpc::kIpProtoUdp, list.table->portmap_port},
        {sgproto::vxi11::kCoreProgram, sgproto::vxi11::kVersion, rpc::kIpProtoTcp,
         list.table->core_port},
    };
    for (const rpc::Mapping& m : mappings) {
        w.boolean(true);
        encode(w, m);
    }
    w.boolean(false);
}

}  // namespace

rpc::Bytes portmap_answer(rpc::ByteView message, const PortmapTable& table) {
    rpc::XdrReader r(message);
    rpc::CallHeader h;
    rpc::Bytes reply;
    if (!accept_call(r, rpc::kPortmapProgram, rpc::kPortmapVersion, h, reply))
        return reply;
    switch (h.proc) {
        case rpc::PMAPPROC_NULL:
            return serve_call<rpc::Void>(r, h.xid, [](const rpc::Void&) { return rpc::Void{}; });
        case rpc::PMAPPROC_GETPORT:
            return serve_call<rpc::Mapping>(r, h.xid, [&](const rpc::Mapping& m) {
                const bool core = m.prog == sgproto::vxi11::kCoreProgram &&
                                  m.vers == sgproto::vxi11::kVersion && m.prot == rpc::kIpProtoTcp;
                const bool self = m.prog == rpc::kPortmapProgram && m.vers == rpc::kPortmapVersion;
                return rpc::PortResult{core   ? table.core_port
                                       : self ? table.portmap_port
                                              : std::uint16_t{0}};
            });
        case rpc::PMAPPROC_DUMP:
            return serve_call<rpc::Void>(r, h.xid,
                                         [&](const rpc::Void&) { return MappingList{&table}; });
        default:
            return refusal(h.xid, rpc::AcceptStat::proc_unavail);
    }
}

}  // namespace sgsim::network
