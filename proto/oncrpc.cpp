#include "proto/oncrpc.h"

#include <iterator>

namespace sgproto::oncrpc {
namespace {

// An enum value from the wire, when it is one of [0, last].
template <class E>
bool enum_value(XdrReader& r, E& e, E last) {
    std::uint32_t v = 0;
    if (!r.u32(v) || v > static_cast<std::uint32_t>(last))
        return false;
    e = static_cast<E>(v);
    return true;
}

}  // namespace

CallHeader make_call(std::uint32_t xid, std::uint32_t prog, std::uint32_t vers,
                     std::uint32_t proc) {
    CallHeader h;
    h.xid = xid;
    h.prog = prog;
    h.vers = vers;
    h.proc = proc;
    return h;
}

ReplyHeader make_reply(std::uint32_t xid, AcceptStat accept) {
    ReplyHeader h;
    h.xid = xid;
    h.accept = accept;
    return h;
}

void encode(XdrWriter& w, const OpaqueAuth& a) {
    w.u32(a.flavor);
    w.opaque(a.body);
}

bool decode(XdrReader& r, OpaqueAuth& a) {
    return r.u32(a.flavor) && r.opaque(a.body, kMaxAuthBody);
}

void encode(XdrWriter& w, const CallHeader& h) {
    w.u32(h.xid);
    w.u32(static_cast<std::uint32_t>(MsgType::call));
    w.u32(h.rpcvers);
    w.u32(h.prog);
    w.u32(h.vers);
    w.u32(h.proc);
    encode(w, h.cred);
    encode(w, h.verf);
}

bool decode(XdrReader& r, CallHeader& h) {
    std::uint32_t type = 0;
    if (!r.u32(h.xid) || !r.u32(type))
        return false;
    if (type != static_cast<std::uint32_t>(MsgType::call))
        return false;
    return r.u32(h.rpcvers) && r.u32(h.prog) && r.u32(h.vers) && r.u32(h.proc) &&
           decode(r, h.cred) && decode(r, h.verf);
}

void encode(XdrWriter& w, const ReplyHeader& h) {
    w.u32(h.xid);
    w.u32(static_cast<std::uint32_t>(MsgType::reply));
    w.u32(static_cast<std::uint32_t>(h.stat));
    if (h.stat == ReplyStat::accepted) {
        encode(w, h.verf);
        w.u32(static_cast<std::uint32_t>(h.accept));
        if (h.accept == AcceptStat::prog_mismatch) {
            w.u32(h.low);
            w.u32(h.high);
        }
        return;
    }
    w.u32(static_cast<std::uint32_t>(h.reject));
    if (h.reject == RejectStat::rpc_mismatch) {
        w.u32(h.low);
        w.u32(h.high);
    } else {
        w.u32(static_cast<std::uint32_t>(h.auth));
    }
}

bool decode(XdrReader& r, ReplyHeader& h) {
    std::uint32_t type = 0;
    if (!r.u32(h.xid) || !r.u32(type) || type != static_cast<std::uint32_t>(MsgType::reply))
        return false;
    if (!enum_value(r, h.stat, ReplyStat::denied))
        return false;
    if (h.stat == ReplyStat::accepted) {
        if (!decode(r, h.verf) || !enum_value(r, h.accept, AcceptStat::system_err))
            return false;
        return h.accept != AcceptStat::prog_mismatch || (r.u32(h.low) && r.u32(h.high));
    }
    if (!enum_value(r, h.reject, RejectStat::auth_error))
        return false;
    if (h.reject == RejectStat::rpc_mismatch)
        return r.u32(h.low) && r.u32(h.high);
    return enum_value(r, h.auth, AuthStat::rpcsec_gss_ctxproblem);
}

bool peek_xid(ByteView message, std::uint32_t& xid) {
    XdrReader r(message);
    return r.u32(xid);
}

const char* name(AcceptStat s) {
    switch (s) {
        case AcceptStat::success:
            return "success";
        case AcceptStat::prog_unavail:
            return "prog_unavail";
        case AcceptStat::prog_mismatch:
            return "prog_mismatch";
        case AcceptStat::proc_unavail:
            return "proc_unavail";
        case AcceptStat::garbage_args:
            return "garbage_args";
        case AcceptStat::system_err:
            return "system_err";
    }
    return "?";
}

const char* name(RejectStat s) {
    switch (s) {
        case RejectStat::rpc_mismatch:
            return "rpc_mismatch";
        case RejectStat::auth_error:
            return "auth_error";
    }
    return "?";
}

const char* name(AuthStat s) {
    static const char* const names[] = {"ok",
                                        "badcred",
                                        "rejectedcred",
                                        "badverf",
                                        "rejectedverf",
                                        "tooweak",
                                        "invalidresp",
                                        "failed",
                                        "kerb_generic",
                                        "timeexpire",
                                        "tktfile",
                                        "decode",
                                        "net_addr",
                                        "rpcsec_gss_credproblem",
                                        "rpcsec_gss_ctxproblem"};
    const auto i = static_cast<std::uint32_t>(s);
    return i < std::size(names) ? names[i] : "?";
}

}  // namespace sgproto::oncrpc
