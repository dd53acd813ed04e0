// The server side of an ONC RPC call, shared by the portmapper and the
// VXI-11 core and abort services: a call is checked against the program
// served (RPC version, program, version) and refused with the reply the RFC
// gives for each case; its arguments are then decoded whole or refused as
// garbage_args. Replies are whole records (one fragment) for TCP, or bare
// messages for UDP.
#pragma once

#include <cstdint>

#include "proto/oncrpc.h"

namespace sgsim::network {

namespace rpc = sgproto::oncrpc;

// Decodes the call header of `r`'s message. False when the call is not to
// be served: then `reply` holds the refusal (empty for a message that is
// not a call at all, which is dropped). True leaves `r` at the arguments.
bool accept_call(rpc::XdrReader& r, std::uint32_t prog, std::uint32_t vers, rpc::CallHeader& h,
                 rpc::Bytes& reply);

// An accepted reply with `accept` and no results.
rpc::Bytes refusal(std::uint32_t xid, rpc::AcceptStat accept);

template <class Results>
rpc::Bytes success(std::uint32_t xid, const Results& results) {
    rpc::Bytes out;
    rpc::XdrWriter w(out);
    encode(w, rpc::make_reply(xid));
    encode(w, results);
    return out;
}

// Decodes the arguments, which must take the rest of the message, and
// answers with `serve(args)`'s results, or garbage_args.
template <class Args, class Serve>
rpc::Bytes serve_call(rpc::XdrReader& r, std::uint32_t xid, Serve&& serve) {
    Args args{};
    if (!decode(r, args) || !r.done())
        return refusal(xid, rpc::AcceptStat::garbage_args);
    return success(xid, serve(args));
}

// `message` as one record: the fragment header, then the message.
rpc::Bytes as_record(const rpc::Bytes& message);

}  // namespace sgsim::network
