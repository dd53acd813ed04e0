// ONC RPC version 2 message headers (RFC 5531, 9): the call header a client
// sends before a procedure's arguments, and the reply header a server sends
// before its results. Both sides are here, for the library's clients and the
// simulator's servers. Only AUTH_NONE is spoken, but any flavour decodes, so
// that a server can refuse it with a reply rather than drop the connection.
//
// decode(XdrReader&, CallHeader&) and decode(XdrReader&, ReplyHeader&) leave
// the reader at the arguments or results; ReplyHeader::accept_stat and
// friends are enums whose every value the RFC defines decodes, and a value
// outside them fails the decode. Pure functions; no state.
#pragma once

#include <cstdint>

#include "proto/rpc_record.h"
#include "proto/xdr.h"

namespace sgproto::oncrpc {

constexpr std::uint32_t kRpcVersion = 2;

enum class MsgType : std::uint32_t { call = 0, reply = 1 };
enum class ReplyStat : std::uint32_t { accepted = 0, denied = 1 };

enum class AcceptStat : std::uint32_t {
    success = 0,        // results follow
    prog_unavail = 1,   // no such program here
    prog_mismatch = 2,  // program served, not this version: low and high follow
    proc_unavail = 3,   // no such procedure
    garbage_args = 4,   // the arguments did not decode
    system_err = 5,     // the server failed (memory, ...)
};

enum class RejectStat : std::uint32_t {
    rpc_mismatch = 0,  // not RPC version 2: low and high follow
    auth_error = 1,    // an AuthStat follows
};

enum class AuthStat : std::uint32_t {
    ok = 0,
    badcred = 1,
    rejectedcred = 2,
    badverf = 3,
    rejectedverf = 4,
    tooweak = 5,
    invalidresp = 6,
    failed = 7,
    kerb_generic = 8,
    timeexpire = 9,
    tktfile = 10,
    decode = 11,
    net_addr = 12,
    rpcsec_gss_credproblem = 13,
    rpcsec_gss_ctxproblem = 14,
};

constexpr std::uint32_t kAuthNone = 0;
// opaque_auth's body is opaque<400> (RFC 5531, 8.2).
constexpr std::size_t kMaxAuthBody = 400;

// Credentials or verifier. The body is a view into the decoded input.
struct OpaqueAuth {
    std::uint32_t flavor = kAuthNone;
    ByteView body;
};

struct CallHeader {
    std::uint32_t xid = 0;
    std::uint32_t rpcvers = kRpcVersion;  // a server answers another with rpc_mismatch
    std::uint32_t prog = 0;
    std::uint32_t vers = 0;
    std::uint32_t proc = 0;
    OpaqueAuth cred;
    OpaqueAuth verf;
};

struct ReplyHeader {
    std::uint32_t xid = 0;
    ReplyStat stat = ReplyStat::accepted;
    // Accepted:
    OpaqueAuth verf;
    AcceptStat accept = AcceptStat::success;
    // Denied:
    RejectStat reject = RejectStat::rpc_mismatch;
    AuthStat auth = AuthStat::ok;
    // The versions served, after prog_mismatch and rpc_mismatch.
    std::uint32_t low = 0;
    std::uint32_t high = 0;
};

// A call with AUTH_NONE credentials and verifier, as clients send it.
CallHeader make_call(std::uint32_t xid, std::uint32_t prog, std::uint32_t vers, std::uint32_t proc);
// An accepted reply with an AUTH_NONE verifier and the given status.
ReplyHeader make_reply(std::uint32_t xid, AcceptStat accept = AcceptStat::success);

void encode(XdrWriter& w, const OpaqueAuth& a);
bool decode(XdrReader& r, OpaqueAuth& a);
// A call header: fails on a message that is not a call. Any rpcvers decodes.
void encode(XdrWriter& w, const CallHeader& h);
bool decode(XdrReader& r, CallHeader& h);
// A reply header: fails on a message that is not a reply, and on a status
// outside the enums. The fields of the other branches are left as they are.
void encode(XdrWriter& w, const ReplyHeader& h);
bool decode(XdrReader& r, ReplyHeader& h);

// The xid at the start of any message, call or reply, so that a reply can
// be matched (or a late one dropped) before it is decoded. False when the
// message is shorter than an xid.
bool peek_xid(ByteView message, std::uint32_t& xid);

// Names for traces: "success", "prog_mismatch", ...; "?" for no value.
const char* name(AcceptStat s);
const char* name(RejectStat s);
const char* name(AuthStat s);

// No argument or no result (a NULL procedure's, destroy_intr_chan's
// argument, device_intr_srq's result).
struct Void {};
inline void encode(XdrWriter&, const Void&) {}
inline bool decode(XdrReader& r, Void&) {
    return r.ok();
}

// A whole call or reply as one record (one fragment, header filled in),
// ready for one write. False when it would not fit in a fragment.
template <class Args>
bool call_record(Bytes& out, const CallHeader& h, const Args& args) {
    const std::size_t start = begin_record(out);
    XdrWriter w(out);
    encode(w, h);
    encode(w, args);
    return end_record(out, start);
}

template <class Results>
bool reply_record(Bytes& out, const ReplyHeader& h, const Results& results) {
    const std::size_t start = begin_record(out);
    XdrWriter w(out);
    encode(w, h);
    if (h.stat == ReplyStat::accepted && h.accept == AcceptStat::success)
        encode(w, results);
    return end_record(out, start);
}

}  // namespace sgproto::oncrpc
