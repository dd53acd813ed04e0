#include "rpc_service.h"

namespace sgsim::network {

bool accept_call(rpc::XdrReader& r, std::uint32_t prog, std::uint32_t vers, rpc::CallHeader& h,
                 rpc::Bytes& reply) {
    reply.clear();
    if (!decode(r, h))
        return false;  // not a call: nothing to answer
    rpc::XdrWriter w(reply);
    rpc::ReplyHeader answer = rpc::make_reply(h.xid);
    if (h.rpcvers != rpc::kRpcVersion) {
        answer.stat = rpc::ReplyStat::denied;
        answer.reject = rpc::RejectStat::rpc_mismatch;
        answer.low = answer.high = rpc::kRpcVersion;
    } else if (h.prog != prog) {
        answer.accept = rpc::AcceptStat::prog_unavail;
    } else if (h.vers != vers) {
        answer.accept = rpc::AcceptStat::prog_mismatch;
        answer.low = answer.high = vers;
    } else {
        return true;
    }
    encode(w, answer);
    return false;
}

rpc::Bytes refusal(std::uint32_t xid, rpc::AcceptStat accept) {
    rpc::Bytes out;
    rpc::XdrWriter w(out);
    encode(w, rpc::make_reply(xid, accept));
    return out;
}

rpc::Bytes as_record(const rpc::Bytes& message) {
    rpc::Bytes out;
    out.reserve(rpc::kFragmentHeaderSize + message.size());
    const std::size_t start = rpc::begin_record(out);
    out.insert(out.end(), message.begin(), message.end());
    rpc::end_record(out, start);
    return out;
}

}  // namespace sgsim::network
